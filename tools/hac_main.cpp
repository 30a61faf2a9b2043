// hac: command-line tool over the public interface of libhbbtv_hac.
#include <string.h>

#include <string>
#include <vector>

#include "hac_commands.h"
#include "hac_output.h"
#include "vetu_hac.h"

namespace {

const char* const kHacHelp =
    "Usage: hac COMMAND [options]\n"
    "       hac --version\n"
    "\n"
    "Brings up either side of the HAC channel on this machine, alone or both,\n"
    "and watches the channel between a browser and an application manager.\n"
    "\n"
    "Commands:\n"
    "  browser   play the browser: print every request, answer the queries,\n"
    "            send notifications typed on standard input\n"
    "  manager   play the application manager: run commands and queries, print\n"
    "            the browser's notifications\n"
    "  monitor   watch every message a running browser and application manager\n"
    "            send and receive, without taking part\n"
    "  queues    show the three HAC queues and what waits in them; purge or\n"
    "            remove them\n"
    "  send      put one raw message on a HAC queue and print the answer\n"
    "  log       list and change the log module levels of running processes\n"
    "  demo      run a browser and a manager and walk the whole catalogue\n"
    "\n"
    "'hac COMMAND --help' tells more; 'man hac' tells all. Every command but demo\n"
    "takes --json for one JSON object per line on standard output (the library's\n"
    "own log lines then go to standard error). Exit status 2 always means bad\n"
    "usage; 130 and 143 a call ended by SIGINT or SIGTERM.\n";

}  // namespace

int main(int argc, char** argv) {
    using namespace hac_tool;
    if (argc < 2) {
        fputs(kHacHelp, stderr);
        return EXIT_USAGE;
    }
    const std::string command = argv[1];
    const std::vector<std::string> args(argv + 2, argv + argc);
    if (command == "--help" || command == "-h" || command == "help") {
        print_text(kHacHelp);
        return EXIT_OK;
    }
    if (command == "--version" || command == "-V") {
        // The library may be a later release of the same major version than
        // the headers the tool was built with.
        print_text(std::string("hac ") + HBBTV_HAC_VERSION_STRING + " (libhbbtv_hac " +
                   vetu_hac_library_version() + ")");
        return EXIT_OK;
    }
    if (command == "browser") return browser_main(args);
    if (command == "manager") return manager_main(args);
    if (command == "monitor") return monitor_main(args);
    if (command == "queues") return queues_main(args);
    if (command == "send") return send_main(args);
    if (command == "log") return log_main(args);
    if (command == "demo") return demo_main(args);
    fprintf(stderr, "hac: unknown command '%s'\n%s", command.c_str(), kHacHelp);
    return EXIT_USAGE;
}
