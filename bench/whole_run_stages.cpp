// One whole run of the command line (the same arguments as terrapivoter's), in a process of its
// own as a user's run is, printing how long each stage took as JSON: the parts to lay beside
// the whole in bench/compare_peers.py.
#include <cstdio>

#include "app/command_line.h"
#include "base/stage_log.h"
#include "platform/platform.h"

using namespace terrapivoter;

int main(int argc, char** argv) {
    platform::prepare_process();
    StageLog log;
    const int status = run_command_line(platform::program_arguments(argc, argv), &log);
    std::printf("{");
    const char* separator = "";
    for (const auto& [stage, seconds] : log.entries()) {
        std::printf("%s\"%s\": %.6f", separator, stage.c_str(), seconds);
        separator = ", ";
    }
    std::printf("}\n");
    return status;
}
