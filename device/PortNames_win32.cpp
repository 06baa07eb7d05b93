// Port numbers on Windows: port N is the communication port \\.\COMN (the form that also
// reaches COM10 and above); KESTREL_PORTS is not used.
#include "PortNames.h"

std::vector<std::string> SerialPortPaths() {
    std::vector<std::string> paths;
    for (int32_t port = 1; port <= ComPortCount; ++port)
        paths.push_back("\\\\.\\COM" + std::to_string(port));
    return paths;
}

const char* PortNumbering() {
    return "port N is the communication port COMN (\\\\.\\COMN)";
}

std::string SerialDeviceProblem(const std::string& path) {
    return path + " is not a serial port (the serial ports are COM1 to COM" +
           std::to_string(ComPortCount) + ", \\\\.\\COMN)";
}
