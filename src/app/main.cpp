#include <cstring>
#include <iostream>

namespace {

void printUsage(std::ostream& out) {
    out << "Usage: tessarine [--headless] [COMMAND [ID]]\n"
           "\n"
           "Turns a tablet into an extra display for this computer.\n"
           "\n"
           "Options:\n"
           "  --headless     run the agent without a tray icon\n"
           "  --help         show this help\n";
}

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            printUsage(std::cout);
            return 0;
        }
    }
    printUsage(std::cerr);
    return 2;
}
