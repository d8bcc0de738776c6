// The device manager: loads the stream drivers registered under
// HKEY_LOCAL_MACHINE\Drivers\BuiltIn, starts them, and serves each device
// "<Prefix><Index>:" on the socket <root>/dev/<Prefix><Index>, one connection
// per open handle. orvex-devmgr is a thin program around this class; tests
// run it in-process.
//
// A driver key needs Dll (REG_SZ), Prefix (REG_SZ) and Index (REG_DWORD);
// Ioctl (REG_DWORD), when present, is a control code sent once after Init;
// Order (REG_DWORD) sorts the loading, lowest first, then by key name.
//
// Running as root, the host loads only modules that root alone can change,
// from the driver module folders, and serves only root, its own user and
// the members of the platform group; each other user gets a limited number
// of open handles.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/access.h"
#include "platform/debug.h"
#include "platform/registry.h"

namespace orvex {

class DeviceHost {
  public:
    struct Options {
        // Folders searched for a Dll given as a bare file name, in order.
        // Empty: DefaultLibraryDirs().
        std::vector<std::string> LibraryDirs;
        // The group whose members, besides root, may open the devices
        // (when the host runs as root and the group exists).
        std::string Group = PlatformGroup;
    };

    // Host lines ("orvex-devmgr: ...\n") go to log.
    explicit DeviceHost(DebugOutput& log);
    // Stops what is still running.
    ~DeviceHost();
    DeviceHost(const DeviceHost&) = delete;
    DeviceHost& operator=(const DeviceHost&) = delete;

    // Loads and starts every registered driver and begins serving its device.
    // Returns the number of devices served; a driver that fails to load is
    // reported and skipped. A host starts once.
    size_t Start(const std::string& root, Registry& registry, const Options& options);
    size_t Start(const std::string& root, Registry& registry) {
        return Start(root, registry, Options{});
    }

    // Makes a Start running on another thread load no further driver (the
    // one being started still finishes). Safe from any thread.
    void CancelStart();

    // Stops accepting, closes every connection (the driver's Close for each
    // open handle, after a call in progress has finished), calls each
    // driver's Deinit, unloads it and removes its socket. Idempotent.
    void Stop();

    // The devices being served, as "ORX1:".
    std::vector<std::string> Devices() const;

    // The build's library folder (../lib beside the running program), then
    // the installation's (/usr/local/lib/orvex, /usr/lib/orvex).
    static std::vector<std::string> DefaultLibraryDirs();

    struct Impl;

  private:
    std::unique_ptr<Impl> I_;
};

}  // namespace orvex
