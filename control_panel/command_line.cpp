#include "command_line.h"

#include <vector>

std::map<std::string, docopt::value> ParseCommandLine(int argc, char** argv) {
  // Help text and grammar at once: docopt reads the options from it.
  static const char options[] =
      "Korvane Control Panel\n"
      "\n"
      "    Usage: korvane_gui [-h | --help]\n"
      "                       [-p <port> | --serial-port <port>]\n"
      "                       [-a <address> | --network-address <address>]\n"
      "                       [-c <command> | --command <command>]\n"
      "\n"
      "    Options:\n"
      "      -h, --help                        Display this help message.\n"
      "      -p <port>, --serial-port <port>   Specify the port to connect on (i.e.\n"
      "                                        COMn on Windows or /dev/tty??? on *nixy\n"
      "                                        systems.)\n"
      "      -a <address>, --network-address <address>\n"
      "                                        Specify the network address and port\n"
      "                                        to connect on.\n"
      "      -c <command>, --command <command>\n"
      "                                        Specify the command to send to the\n"
      "                                        specified system in headless mode\n"
      "                                        Commands: txon, txoff\n"
      "  ";
  static_assert(sizeof(options) - 1 == 967, "the usage text is 967 characters");

  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  return docopt::docopt(options, args, true, "Korvane GUI", false);
}
