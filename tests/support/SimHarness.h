#pragma once
// Simulated QX40 devices (qx40-sim) for the tests, the port list that points the tool at them,
// and checks on the serial ends. Images for them come from TestData.h.
#include "ChildProcess.h"
#include "TestData.h"

#include <memory>
#include <string>
#include <vector>

// One qx40-sim process and the path of its serial end.
class TSimDevice {
public:
    explicit TSimDevice(std::vector<std::string> args = {});
    const std::string& Path() const { return path_; }
    ChildProcess& Process() { return proc_; }
    // Waits for a log line containing `needle`.
    bool WaitFor(const std::string& needle);

private:
    ChildProcess proc_;
    std::string path_;
};

// A KESTREL_PORTS value: the entries joined with ':'.
std::string PortList(const std::vector<std::string>& entries);
// `count` empty entries, then `path`: the device at port count + 1.
std::string PortListAt(int port, const std::string& path);
void SetPorts(const std::string& list);

// True when this process holds a descriptor of the device at `path`.
bool HeldOpenHere(const std::string& path);
// True when a new exclusive open of `path` would get its lock, i.e. nobody holds the port.
bool Lockable(const std::string& path);
