// Encoding of the server's messages.
#include "kelvod/protocol/protocol_writer.h"

#include <cstring>

namespace kelvod {

void ProtocolWriter::Begin(char type) {
    m_out.push_back(type);
    m_messageStart = m_out.size();
    m_out.append(4, '\0');
}

void ProtocolWriter::EndMessage() {
    auto len = static_cast<uint32_t>(m_out.size() - m_messageStart);
    m_out[m_messageStart] = static_cast<char>(len >> 24);
    m_out[m_messageStart + 1] = static_cast<char>(len >> 16);
    m_out[m_messageStart + 2] = static_cast<char>(len >> 8);
    m_out[m_messageStart + 3] = static_cast<char>(len);
}

void ProtocolWriter::Empty(char type) {
    Begin(type);
    EndMessage();
}

void ProtocolWriter::Int16(int16_t v) {
    auto u = static_cast<uint16_t>(v);
    m_out.push_back(static_cast<char>(u >> 8));
    m_out.push_back(static_cast<char>(u));
}

void ProtocolWriter::Int32(int32_t v) {
    auto u = static_cast<uint32_t>(v);
    char b[4] = {static_cast<char>(u >> 24), static_cast<char>(u >> 16), static_cast<char>(u >> 8),
                 static_cast<char>(u)};
    m_out.append(b, 4);
}

void ProtocolWriter::String(std::string_view s) {
    // A NUL inside a text would end it early on the client's side.
    for (char c : s)
        m_out.push_back(c == '\0' ? ' ' : c);
    m_out.push_back('\0');
}

void ProtocolWriter::AuthenticationOk() {
    Begin('R');
    Int32(0);
    EndMessage();
}

void ProtocolWriter::ParameterStatus(std::string_view name, std::string_view value) {
    Begin('S');
    String(name);
    String(value);
    EndMessage();
}

void ProtocolWriter::BackendKeyData(int32_t pid, int32_t key) {
    Begin('K');
    Int32(pid);
    Int32(key);
    EndMessage();
}

void ProtocolWriter::ReadyForQuery(TransactionStatus status) {
    Begin('Z');
    m_out.push_back(static_cast<char>(status));
    EndMessage();
}

void ProtocolWriter::RowDescription(const std::vector<ColumnDescription>& columns) {
    Begin('T');
    Int16(static_cast<int16_t>(columns.size()));
    for (const auto& c : columns) {
        String(c.name);
        Int32(0);
        Int16(0);
        Int32(static_cast<int32_t>(c.typeOid));
        Int16(c.typeLength);
        Int32(c.typeModifier);
        Int16(c.format);
    }
    EndMessage();
}

void ProtocolWriter::CommandComplete(std::string_view tag) {
    Begin('C');
    String(tag);
    EndMessage();
}

void ProtocolWriter::EmptyQueryResponse() { Empty('I'); }

void ProtocolWriter::ErrorOrNotice(char type, const ErrorFields& e) {
    Begin(type);
    m_out.push_back('S');
    String(e.severity);
    m_out.push_back('V');
    String(e.severity);
    m_out.push_back('C');
    String(e.sqlstate);
    m_out.push_back('M');
    String(e.message);
    if (!e.detail.empty()) {
        m_out.push_back('D');
        String(e.detail);
    }
    if (!e.hint.empty()) {
        m_out.push_back('H');
        String(e.hint);
    }
    m_out.push_back('\0');
    EndMessage();
}

void ProtocolWriter::ParameterDescription(const std::vector<uint32_t>& types) {
    Begin('t');
    Int16(static_cast<int16_t>(types.size()));
    for (uint32_t t : types)
        Int32(static_cast<int32_t>(t));
    EndMessage();
}

void ProtocolWriter::CopyInResponse(int16_t columns) {
    Begin('G');
    m_out.push_back(1);
    Int16(columns);
    for (int i = 0; i < columns; ++i)
        Int16(1);
    EndMessage();
}

void ProtocolWriter::CopyOutResponse(bool binary, int16_t columns) {
    Begin('H');
    m_out.push_back(binary ? 1 : 0);
    Int16(columns);
    for (int i = 0; i < columns; ++i)
        Int16(binary ? 1 : 0);
    EndMessage();
}

void ProtocolWriter::CopyData(std::string_view data) {
    Begin('d');
    m_out.append(data);
    EndMessage();
}

void ProtocolWriter::BeginDataRow(int16_t fields) {
    Begin('D');
    Int16(fields);
}

void ProtocolWriter::Field(const void* data, size_t size) {
    Int32(static_cast<int32_t>(size));
    m_out.append(static_cast<const char*>(data), size);
}

char* ProtocolWriter::FieldSpace(size_t size) {
    Int32(static_cast<int32_t>(size));
    return m_out.Extend(size);
}

}  // namespace kelvod
