// Tests that print whole documents through the engine harness on the default installation.
// Every test ends with the sessions closed, the driver unloaded and nothing left alive.
#pragma once

#include <memory>
#include <vector>

#include "driver/device_context.h"
#include "host/engine_session.h"
#include "host/printer_installation.h"
#include "tests/support/host_test.h"

namespace test {

using Bytes = std::vector<uint8_t>;

class EngineTest : public HostTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Stored default options for the printer (the driver reads them for every new context).
  void SetDefaultOptions(DWORD mask, BYTE useMonitor, BYTE retain = 0);
  void PlainOutput() { SetDefaultOptions(0x400 /* DOM_USE_MONITOR */, 0); }

  std::unique_ptr<host::EngineSession> Open(const host::SessionOptions& options = {});
  DeviceContext* Context(const host::EngineSession& session) const {
    return ContextFromHandle(session.device());
  }
  // Prints pages as one document on a new session and returns the spooled bytes.
  Bytes PrintAlone(const std::vector<host::GrayImage>& pages,
                   const host::SessionOptions& options = {});
  Bytes Spooled() const { return host::SpooledBytes(installation_->printer()); }
  void ClearSpooled() { host::ClearSpooled(installation_->printer()); }

  std::unique_ptr<host::PrinterInstallation> installation_;
};

// A page of the given size: white with black bars placed by seed and, when gray, a ramp
// over its lower half. Pages without gray print the same whatever the diffusion's state.
host::GrayImage TestPage(SIZEL size, int seed, bool gray = true);

// Bytes of several parts, one after another.
Bytes Join(std::initializer_list<Bytes> parts);

}  // namespace test
