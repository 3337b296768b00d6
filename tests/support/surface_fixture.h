// Unit tests of the drawing surface and the band loop: a test context with its media, a
// printer for its output and an engine device, and its surface enabled on demand.
#pragma once

#include <memory>

#include "driver/ddi.h"
#include "tests/support/host_test.h"
#include "tests/support/test_context.h"

namespace test {

class SurfaceFixture : public HostTest {
 protected:
  // A context on these media, portrait, with a printer and an engine device of its own.
  void Make(std::vector<MediaListEntry> media) {
    context_ = std::make_unique<TestContext>(std::move(media));
    context_->settings().dm.dmOrientation = DMORIENT_PORTRAIT;
    printer_ = host::AddPrinter({});
    (*context_)->printer = printer_;
    device_ = host::CreateEngineDevice();
    host::BindEngineDevice(device_, HandleFromContext(context_->get()));
    (*context_)->engineDevice = device_;
  }
  void TearDown() override {
    if (context_) Disable();
    context_.reset();
    host::DeleteEngineDevice(device_);
    host::RemovePrinter(printer_);
    HostTest::TearDown();
  }
  HSURF Enable() { return DrvEnableSurface(HandleFromContext(context_->get())); }
  void Disable() { DrvDisableSurface(HandleFromContext(context_->get())); }

  std::unique_ptr<TestContext> context_;
  HANDLE printer_ = nullptr;
  HDEV device_ = {};
};

}  // namespace test
