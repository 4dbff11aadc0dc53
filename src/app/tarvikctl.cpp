// tarvikctl: asks the running tarvikd for its status and live set, follows its events and
// has it reload its settings, through the control socket.
#include <iostream>
#include <string>
#include <vector>

#include "app/ControlClient.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    return tarvik::RunControlCommand(args, std::cout, std::cerr);
}
