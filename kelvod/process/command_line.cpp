// Reading the command line that the library passes to the server.
#include "kelvod/process/command_line.h"

namespace kelvod {

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
    CommandLine cl;
    if (args.empty() || args.back() != "run")
        throw CommandLineError("The last argument must be \"run\".");
    size_t end = args.size() - 1;
    for (size_t i = 0; i < end; ++i) {
        const std::string& a = args[i];
        if (a == "--listen-connection" || a == "--callback-connection") {
            if (i + 1 >= end)
                throw CommandLineError("Option " + a + " needs a value.");
            (a == "--listen-connection" ? cl.listenConnection : cl.callbackConnection) = args[++i];
        } else if (a.size() > 2 && a[0] == '-' && a[1] == '-') {
            size_t eq = a.find('=');
            std::string name = a.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
            for (char& c : name) {
                if (c == '-')
                    c = '_';
            }
            // A long option without '=' takes no value: the library always writes the '='.
            cl.settings[name] = eq == std::string::npos ? std::string() : a.substr(eq + 1);
        } else if (a.size() == 2 && a[0] == '-') {
            // The value follows as its own argument and is left out when empty, so a
            // following long option or the final "run" means an empty value. A value
            // may itself begin with a single '-'.
            std::string value;
            if (i + 1 < end && args[i + 1].rfind("--", 0) != 0)
                value = args[++i];
            cl.settings[a.substr(1)] = value;
        } else {
            throw CommandLineError("Unexpected argument \"" + a + "\".");
        }
    }
    if (cl.listenConnection.empty())
        throw CommandLineError("Option --listen-connection is missing.");
    if (cl.callbackConnection.empty())
        throw CommandLineError("Option --callback-connection is missing.");
    return cl;
}

}  // namespace kelvod
