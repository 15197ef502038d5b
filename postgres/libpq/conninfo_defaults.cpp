// Defaults for options without a value: the service file, then the
// environment, the compiled defaults and the operating-system user name.
#include "postgres/libpq/conninfo.h"

#include "postgres/libpq/auth.h"

#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// A service-file line, with its newline, must fit this buffer with room to
// spare; longer lines fail rather than being read in pieces.
constexpr size_t kServiceLineBuffer = 256;

enum class ServiceSearch { NotFound, Found, Failed };

struct FileCloser {
    void operator()(FILE* file) const { fclose(file); }
};

// Reads the section [service] of one service file into options that have no
// value yet. Reading stops at the section after the wanted one.
ServiceSearch ReadServiceFile(const std::string& path, const std::string& service, PQconninfoOption* options,
                              std::string& errorMessage) {
    std::unique_ptr<FILE, FileCloser> file(fopen(path.c_str(), "r"));
    if (!file) {
        errorMessage = "The service file \"" + path + "\" was not found.";
        return ServiceSearch::Failed;
    }
    bool in_section = false;
    bool found = false;
    char buf[kServiceLineBuffer];
    int line_number = 0;
    while (fgets(buf, sizeof buf, file.get()) != nullptr) {
        ++line_number;
        size_t length = std::strlen(buf);
        if (length >= sizeof buf - 1) {
            errorMessage = "Line " + std::to_string(line_number) + " is too long in service file \"" + path + "\".";
            return ServiceSearch::Failed;
        }
        while (length > 0 && (buf[length - 1] == '\n' || buf[length - 1] == '\r'))
            buf[--length] = '\0';
        const char* line = buf;
        while (*line != '\0' && std::isspace(static_cast<unsigned char>(*line)))
            ++line;
        if (*line == '\0' || *line == '#')
            continue;
        if (*line == '[') {
            if (found)
                break;
            const size_t name_length = service.size();
            in_section = std::strncmp(line + 1, service.c_str(), name_length) == 0 && line[name_length + 1] == ']';
            found = in_section;
            continue;
        }
        if (!in_section)
            continue;
        const char* eq = std::strchr(line, '=');
        std::string keyword = eq != nullptr ? std::string(line, eq) : std::string(line);
        if (eq != nullptr && keyword == "service") {
            errorMessage = "nested service specifications not supported in service file \"" + path + "\", line " +
                           std::to_string(line_number);
            return ServiceSearch::Failed;
        }
        PQconninfoOption* option = eq != nullptr ? pqConninfoFind(options, keyword.c_str()) : nullptr;
        if (option == nullptr) {
            errorMessage = "syntax error in service file \"" + path + "\", line " + std::to_string(line_number);
            return ServiceSearch::Failed;
        }
        if (option->val == nullptr) {
            option->val = strdup(eq + 1);
            if (option->val == nullptr)
                throw std::bad_alloc();
        }
    }
    return found ? ServiceSearch::Found : ServiceSearch::NotFound;
}

bool FileExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// The user's own service file (PGSERVICEFILE, else ~/.pg_service.conf), then
// the system-wide one.
bool ApplyService(PQconninfoOption* options, std::string& errorMessage) {
    const char* service = pqConninfoValue(options, "service");
    if (service == nullptr)
        service = getenv("PGSERVICE");
    if (service == nullptr)
        return true;
    const std::string name(service);

    ServiceSearch result = ServiceSearch::NotFound;
    if (const char* explicit_file = getenv("PGSERVICEFILE")) {
        if (!FileExists(explicit_file)) {
            errorMessage = std::string("The service file \"") + explicit_file + "\" was not found.";
            return false;
        }
        result = ReadServiceFile(explicit_file, name, options, errorMessage);
    } else {
        std::string home;
        if (pqGetHomeDirectory(home)) {
            std::string path = home + "/.pg_service.conf";
            if (FileExists(path))
                result = ReadServiceFile(path, name, options, errorMessage);
        }
    }
    if (result == ServiceSearch::Failed)
        return false;
    if (result == ServiceSearch::Found)
        return true;

    const char* sysconfdir = getenv("PGSYSCONFDIR");
    std::string path = std::string(sysconfdir != nullptr ? sysconfdir : "/etc") + "/pg_service.conf";
    if (FileExists(path)) {
        result = ReadServiceFile(path, name, options, errorMessage);
        if (result == ServiceSearch::Failed)
            return false;
        if (result == ServiceSearch::Found)
            return true;
    }
    errorMessage = "The definition of service \"" + name + "\" was not found.";
    return false;
}

}  // namespace

bool pqConninfoAddDefaults(PQconninfoOption* options, std::string* errorMessage) {
    std::string ignored;
    if (!ApplyService(options, errorMessage != nullptr ? *errorMessage : ignored) && errorMessage != nullptr)
        return false;

    for (PQconninfoOption* option = options; option->keyword != nullptr; ++option) {
        if (option->val != nullptr)
            continue;
        const char* value = option->envvar != nullptr ? getenv(option->envvar) : nullptr;
        if (value == nullptr && std::strcmp(option->keyword, "sslmode") == 0) {
            const char* requiressl = getenv("PGREQUIRESSL");
            if (requiressl != nullptr && requiressl[0] == '1')
                value = "require";
        }
        if (value == nullptr)
            value = option->compiled;
        if (value != nullptr) {
            option->val = strdup(value);
            if (option->val == nullptr)
                throw std::bad_alloc();
        } else if (std::strcmp(option->keyword, "user") == 0) {
            option->val = pg_fe_getauthname(nullptr);
        }
    }
    return true;
}
