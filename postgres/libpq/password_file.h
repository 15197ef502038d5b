// Passwords from the password file (~/.pgpass or the passfile option): lines
// of host:port:database:user:password, where a field "*" matches anything
// and a backslash takes the next character literally.
#pragma once

#include <string>

// The password of the first line matching hostname, port, dbname and username
// in the file at path, as a new malloc'd text; null when there is none, when
// the file is missing, or when it is not a plain file or group and others
// may use it (both reported on standard error, the file is then ignored).
// An empty hostname or the socket directory "/tmp" is looked up as
// "localhost", an empty port as "5432".
char* pqPasswordFromFile(const char* hostname, const char* port, const char* dbname, const char* username,
                         const char* path);

// The password file used when the passfile option is empty: ~/.pgpass.
bool pqDefaultPasswordFile(std::string& path);
