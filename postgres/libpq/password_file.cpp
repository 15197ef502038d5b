// The password-file look-up; see password_file.h.
#include "postgres/libpq/password_file.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "postgres/libpq/conninfo.h"

namespace {

// Lines longer than this are skipped whole: matching their tail as a line of
// its own could hand a password to the wrong server.
constexpr size_t kMaxLineLength = 319;

struct Field {
    std::string text;  // with escapes removed
    bool wildcard;     // the field was an unescaped "*"
};

// Splits a line into its first four ':'-terminated fields and the password,
// which runs to the next unescaped ':' or the end. False when the line has
// fewer than four separators.
bool SplitLine(const std::string& line, std::vector<Field>& fields, std::string& password) {
    fields.clear();
    size_t i = 0;
    while (fields.size() < 4) {
        Field field{std::string(), false};
        bool escaped_any = false;
        bool terminated = false;
        while (i < line.size()) {
            char c = line[i++];
            if (c == '\\' && i < line.size()) {
                field.text += line[i++];
                escaped_any = true;
            } else if (c == ':') {
                terminated = true;
                break;
            } else {
                field.text += c;
            }
        }
        if (!terminated)
            return false;
        field.wildcard = !escaped_any && field.text == "*";
        fields.push_back(std::move(field));
    }
    password.clear();
    while (i < line.size()) {
        char c = line[i++];
        if (c == '\\' && i < line.size()) {
            password += line[i++];
        } else if (c == ':') {
            break;
        } else {
            password += c;
        }
    }
    return true;
}

bool FileIsUsable(const char* path) {
    struct stat st;
    if (stat(path, &st) != 0)
        return false;
    if (!S_ISREG(st.st_mode)) {
        fprintf(stderr, "WARNING: The password file \"%s\" is not a plain file.\n", path);
        return false;
    }
    if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        fprintf(stderr,
                "WARNING: The password file \"%s\" has group or world access. The permissions should be u=rw "
                "(0600) or less.\n",
                path);
        return false;
    }
    return true;
}

}  // namespace

bool pqDefaultPasswordFile(std::string& path) {
    std::string home;
    if (!pqGetHomeDirectory(home))
        return false;
    path = home + "/.pgpass";
    return true;
}

char* pqPasswordFromFile(const char* hostname, const char* port, const char* dbname, const char* username,
                         const char* path) {
    if (dbname == nullptr || dbname[0] == '\0' || username == nullptr || username[0] == '\0' || path == nullptr ||
        path[0] == '\0')
        return nullptr;
    if (hostname == nullptr || hostname[0] == '\0' || std::strcmp(hostname, "/tmp") == 0)
        hostname = "localhost";
    if (port == nullptr || port[0] == '\0')
        port = "5432";
    if (!FileIsUsable(path))
        return nullptr;

    std::unique_ptr<FILE, int (*)(FILE*)> file(fopen(path, "r"), fclose);
    if (!file)
        return nullptr;
    const char* wanted[4] = {hostname, port, dbname, username};
    std::vector<Field> fields;
    std::string password;
    std::string line;
    // Read in pieces so that an overlong line costs no more memory than a
    // short one; the pieces of a line past the limit are dropped.
    char piece[kMaxLineLength + 2];
    bool overlong = false;
    while (fgets(piece, sizeof piece, file.get()) != nullptr) {
        size_t length = std::strlen(piece);
        bool complete = length > 0 && piece[length - 1] == '\n';
        if (!overlong) {
            line.append(piece, length);
            if (line.size() > kMaxLineLength + (complete ? 1 : 0))
                overlong = true;
        }
        if (!complete && !feof(file.get()))
            continue;
        bool skip = overlong;
        overlong = false;
        std::string current;
        current.swap(line);
        if (skip)
            continue;
        if (!current.empty() && current.back() == '\n')
            current.pop_back();
        if (!current.empty() && current.back() == '\r')
            current.pop_back();
        if (current.empty() || !SplitLine(current, fields, password))
            continue;
        bool matches = true;
        for (int i = 0; i < 4 && matches; ++i)
            matches = fields[i].wildcard || fields[i].text == wanted[i];
        if (!matches)
            continue;
        char* result = strdup(password.c_str());
        if (result == nullptr)
            throw std::bad_alloc();
        return result;
    }
    return nullptr;
}
