// Builds the messages the server sends into one output buffer; the session
// drains the buffer to the socket.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "kelvod/protocol/output_buffer.h"
#include "kelvod/protocol/transaction_status.h"

namespace kelvod {

struct ColumnDescription {
    std::string name;
    uint32_t typeOid;
    int16_t typeLength;
    int32_t typeModifier;
    int16_t format;
};

// The fields of an ErrorResponse or NoticeResponse.
struct ErrorFields {
    std::string severity = "ERROR";  // ERROR, FATAL, NOTICE, WARNING
    std::string sqlstate = "XX000";
    std::string message;
    std::string detail;
    std::string hint;
};

class ProtocolWriter {
public:
    OutputBuffer& Buffer() { return m_out; }
    void Clear() { m_out.clear(); }

    void AuthenticationOk();
    void ParameterStatus(std::string_view name, std::string_view value);
    void BackendKeyData(int32_t pid, int32_t key);
    void ReadyForQuery(TransactionStatus status);
    void RowDescription(const std::vector<ColumnDescription>& columns);
    void CommandComplete(std::string_view tag);
    void EmptyQueryResponse();
    void Error(const ErrorFields& e) { ErrorOrNotice('E', e); }
    void Notice(const ErrorFields& e) { ErrorOrNotice('N', e); }
    void ParseComplete() { Empty('1'); }
    void BindComplete() { Empty('2'); }
    void CloseComplete() { Empty('3'); }
    void NoData() { Empty('n'); }
    void ParameterDescription(const std::vector<uint32_t>& types);
    void CopyOutResponse(bool binary, int16_t columns);
    void CopyInResponse(int16_t columns);  // the KLVCPY format is binary: every column has format 1
    void CopyData(std::string_view data);
    void CopyDone() { Empty('c'); }
    void SslRefused() { m_out.push_back('N'); }

    // A DataRow is written field by field, then closed with EndDataRow.
    void BeginDataRow(int16_t fields);
    void NullField() { Int32(-1); }
    void Field(const void* data, size_t size);
    char* FieldSpace(size_t size);  // reserves a field of known size and returns where its bytes go
    void EndDataRow() { EndMessage(); }

private:
    void Begin(char type);
    void EndMessage();
    void Empty(char type);
    void ErrorOrNotice(char type, const ErrorFields& e);
    void Int16(int16_t v);
    void Int32(int32_t v);
    void String(std::string_view s);
    OutputBuffer m_out;
    size_t m_messageStart = 0;
};

}  // namespace kelvod
