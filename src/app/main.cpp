// terrapivoter: rotates a digital elevation model about a reference point.
//
// Without arguments it is the dialogue; with any, the command line. Both fill the same
// description of a job and run the same pipeline.
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/dialogue.h"
#include "base/failure.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
    using namespace terrapivoter;
    platform::prepare_process();
    const std::vector<std::string> arguments = platform::program_arguments(argc, argv);
    if (!arguments.empty()) return run_command_line(arguments);
    try {
        run_dialogue();
        std::fflush(stdout);
        return 0;
    } catch (const MissingInputFile& missing) {
        std::fputs("\n No File ", stdout);
        std::fwrite(missing.path.data(), 1, missing.path.size(), stdout);
        std::fputs(" \n", stdout);
        std::fflush(stdout);
        platform::wait_for_key();
    } catch (const Failure& failure) {
        std::fflush(stdout);
        std::fprintf(stderr, "terrapivoter: %s\n", failure.what());
    } catch (const std::bad_alloc&) {
        std::fflush(stdout);
        std::fputs("terrapivoter: not enough memory\n", stderr);
    }
    return 1;
}
