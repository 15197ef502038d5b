// See redirect.h.
#include "postgres/libpq/redirect.h"

#include <strings.h>
#include <cstdint>
#include <cstring>

#include "error/tagged_text.h"

namespace {

const char* const kDisablingValues[] = {"0", "f", "false", "n", "no", "off"};

// Reads fields from [pos, end); every read checks the bytes left.
class FieldReader {
public:
    FieldReader(const char* begin, const char* end) : m_pos(begin), m_end(end) {}

    bool Byte(uint8_t& value) {
        if (m_pos >= m_end)
            return false;
        value = static_cast<uint8_t>(*m_pos++);
        return true;
    }
    bool Int32(int32_t& value) {
        if (m_end - m_pos < 4)
            return false;
        const auto* p = reinterpret_cast<const unsigned char*>(m_pos);
        value = static_cast<int32_t>((uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) |
                                     uint32_t(p[3]));
        m_pos += 4;
        return true;
    }
    bool Text(std::string& value) {
        const void* nul = std::memchr(m_pos, '\0', static_cast<size_t>(m_end - m_pos));
        if (nul == nullptr)
            return false;
        value.assign(m_pos, static_cast<const char*>(nul));
        m_pos = static_cast<const char*>(nul) + 1;
        return true;
    }

private:
    const char* m_pos;
    const char* m_end;
};

std::string Tagged(const std::string& primary) {
    return kelvoapi::TaggedText().Sqlstate("08P01").Primary("%s", primary.c_str()).c_str();
}

}  // namespace

bool pqRedirectsAllowed(const char* options) {
    if (options == nullptr)
        return true;
    const char* item = std::strstr(options, "allow_redirects=");
    if (item == nullptr)
        return true;
    const char* value = item + std::strlen("allow_redirects=");
    const std::string text(value, std::strcspn(value, " "));
    for (const char* disabling : kDisablingValues) {
        if (strcasecmp(text.c_str(), disabling) == 0)
            return false;
    }
    return true;
}

RedirectParseResult pqParseRedirect(const char* bytes, size_t size, RedirectRequest* request, size_t* consumed,
                                    std::string* error) {
    FieldReader header(bytes, bytes + size);
    uint8_t type = 0;
    int32_t length = 0;
    if (!header.Byte(type) || !header.Int32(length))
        return RedirectParseResult::Incomplete;
    if (length < 4 || length > kMaxRedirectLength) {
        *error = Tagged("The redirect request has an invalid length of " + std::to_string(length) + " bytes.");
        return RedirectParseResult::Malformed;
    }
    const size_t total = 1 + static_cast<size_t>(length);
    if (size < total)
        return RedirectParseResult::Incomplete;

    // Everything below lies inside the declared length; running out of it
    // is malformed, never a reason to wait for more.
    const std::string truncated = Tagged("The redirect request ends before its contents are complete.");
    FieldReader body(bytes + 5, bytes + total);
    RedirectRequest parsed;
    int32_t count = 0;
    if (!body.Text(parsed.session_identifier) || !body.Int32(count)) {
        *error = truncated;
        return RedirectParseResult::Malformed;
    }
    if (count < 0) {
        *error = Tagged("The redirect request has a negative address count.");
        return RedirectParseResult::Malformed;
    }
    if (count > kMaxRedirectAddresses) {
        *error = Tagged("The redirect request contains " + std::to_string(count) +
                        " addresses, which is more than the limit of " + std::to_string(kMaxRedirectAddresses) + ".");
        return RedirectParseResult::Malformed;
    }
    for (int32_t i = 0; i < count; ++i) {
        uint8_t address_type = 0;
        RedirectTarget target;
        if (!body.Byte(address_type)) {
            *error = truncated;
            return RedirectParseResult::Malformed;
        }
        if (address_type > CHT_UNIX_SOCKET) {
            *error = Tagged("The redirect request contains the invalid address type '" + std::to_string(address_type) +
                            "'.");
            return RedirectParseResult::Malformed;
        }
        if (!body.Text(target.address) || !body.Text(target.port)) {
            *error = truncated;
            return RedirectParseResult::Malformed;
        }
        target.type = static_cast<pg_conn_host_type>(address_type);
        parsed.targets.push_back(std::move(target));
    }
    *request = std::move(parsed);
    *consumed = total;
    return RedirectParseResult::Complete;
}
