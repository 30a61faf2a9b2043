// The subcommands of the hac tool: each takes the arguments after its name
// and returns the exit status (ExitStatus in hac_output.h), or ends the
// process itself through finish().
#ifndef HAC_COMMANDS_H
#define HAC_COMMANDS_H

#include <string>
#include <vector>

namespace hac_tool {

int browser_main(const std::vector<std::string>& args);
int manager_main(const std::vector<std::string>& args);
int log_main(const std::vector<std::string>& args);
int queues_main(const std::vector<std::string>& args);
int demo_main(const std::vector<std::string>& args);
int monitor_main(const std::vector<std::string>& args);
int send_main(const std::vector<std::string>& args);

}  // namespace hac_tool

#endif
