// SPDX-License-Identifier: Apache-2.0
// Unit tests of the drawing surface and the band loop: a test context, portrait, with a
// printer for its output and an engine device, and its surface enabled on demand.
#pragma once

#include "driver/ddi.h"
#include "tests/support/test_context.h"

namespace test {

class SurfaceFixture : public ContextTest {
 protected:
  void SetUp() override {
    ContextTest::SetUp();
    context_.settings().dm.dmOrientation = DMORIENT_PORTRAIT;
    device_ = host::CreateEngineDevice();
    host::BindEngineDevice(device_, HandleFromContext(context_.get()));
    context_->engineDevice = device_;
  }
  void TearDown() override {
    Disable();
    host::DeleteEngineDevice(device_);
    ContextTest::TearDown();
  }
  HSURF Enable() { return DrvEnableSurface(HandleFromContext(context_.get())); }
  void Disable() { DrvDisableSurface(HandleFromContext(context_.get())); }

  HDEV device_ = {};
};

}  // namespace test
