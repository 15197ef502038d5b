// COPY FROM STDIN over the raw test client.
#include "support/wire_copy_in.h"

namespace kelvotest {

WireResult CopyIn(WireClient& client, const std::string& sql, const std::vector<std::string>& pieces,
                  const char* failure) {
    client.SendMessage('Q', WireClient::Str(sql));
    WireMessage first = client.Read();
    if (first.type != 'G') {
        // Refused before any data: the error, then ReadyForQuery.
        WireResult r;
        if (first.type == 0) return r;
        WireResult rest = first.type == 'Z' ? WireResult{} : client.ReadUntilReady();
        std::string body = first.body;
        if (first.type == 'E') {
            WireError e;
            for (size_t p = 0; p < body.size() && body[p] != '\0';) {
                char code = body[p];
                size_t end = body.find('\0', p + 1);
                std::string value = body.substr(p + 1, end - p - 1);
                if (code == 'S') e.severity = value;
                else if (code == 'C') e.sqlstate = value;
                else if (code == 'M') e.message = value;
                else if (code == 'D') e.detail = value;
                else if (code == 'H') e.hint = value;
                p = end + 1;
            }
            rest.errors.insert(rest.errors.begin(), e);
        }
        rest.types.insert(rest.types.begin(), first.type);
        return rest;
    }
    for (const auto& p : pieces) client.SendMessage('d', p);
    if (failure) client.SendMessage('f', WireClient::Str(failure));
    else client.SendMessage('c', "");
    WireResult r = client.ReadUntilReady();
    r.types.insert(r.types.begin(), 'G');
    return r;
}

std::vector<std::string> SplitInto(const std::string& data, size_t size) {
    std::vector<std::string> pieces;
    for (size_t i = 0; i < data.size(); i += size) pieces.push_back(data.substr(i, size));
    return pieces;
}

}  // namespace kelvotest
