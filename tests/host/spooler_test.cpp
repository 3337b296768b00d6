// SPDX-License-Identifier: Apache-2.0
// The spooler calls as the driver uses them: the driver directory, printer data codes and
// writes that are refused or accepted only in part. (The driver's size probe of the driver
// information is met on every context the driver tests make.)

#include "tests/support/host_test.h"

namespace {

class SpoolerTest : public HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    printer_ = host::AddPrinter({});
  }
  HANDLE printer_ = nullptr;
};

const HANDLE kNotPrinters[] = {nullptr, INVALID_HANDLE_VALUE, reinterpret_cast<HANDLE>(0x1234)};

TEST_F(SpoolerTest, TheDriverDirectoryCountsItsTerminator) {
  DWORD needed = 0;
  EXPECT_FALSE(GetPrinterDriverDirectoryW(nullptr, nullptr, 1, nullptr, 0, &needed) || GetLastError() != ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(needed, sizeof(u"C:\\TQ33\\drivers"));
  WCHAR directory[260];
  std::fill_n(directory, 260, u'#');
  ASSERT_TRUE(GetPrinterDriverDirectoryW(nullptr, nullptr, 1, reinterpret_cast<LPBYTE>(directory), needed, &needed));
  EXPECT_EQ(std::u16string(directory, needed / 2 + 1), std::u16string(u"C:\\TQ33\\drivers\0#", needed / 2 + 1));
}

TEST_F(SpoolerTest, PrinterDataAnswersWithRegistryCodesAndTheSizeOfTheValue) {
  host::SetPrinterDataDword(printer_, u"FreeMem", 1000);
  host::SetPrinterDataBinary(printer_, u"CurDevHTInfo", std::vector<uint8_t>(128, 7));
  WCHAR freeMem[] = u"FREEMEM", htInfo[] = u"CurDevHTInfo", missing[] = u"PrinterHT";
  DWORD type = 0, needed = 0, value = 0;
  BYTE block[132] = {};
  auto get = [&](HANDLE printer, WCHAR* name, void* out, DWORD size) {
    return static_cast<LONG>(GetPrinterDataW(printer, name, &type, static_cast<BYTE*>(out), size, &needed));
  };
  EXPECT_EQ(get(printer_, freeMem, &value, 4), ERROR_SUCCESS);
  EXPECT_EQ(std::tuple(value, type, needed), std::tuple(1000u, DWORD{REG_DWORD}, 4u));
  EXPECT_EQ(get(printer_, missing, &value, 4), ERROR_FILE_NOT_FOUND);
  // A value larger than the buffer gives its size and nothing of itself.
  EXPECT_EQ(get(printer_, htInfo, block, 4), ERROR_MORE_DATA);
  EXPECT_EQ(std::tuple(needed, block[0]), std::tuple(128u, BYTE{0}));
  EXPECT_EQ(get(printer_, htInfo, block, sizeof block), ERROR_SUCCESS);
  EXPECT_EQ(std::tuple(needed, block[127], block[128]), std::tuple(128u, BYTE{7}, BYTE{0}));
  EXPECT_EQ(get(printer_, freeMem, nullptr, 0), ERROR_MORE_DATA);
  EXPECT_EQ(GetPrinterDataW(printer_, freeMem, &type, block, 4, nullptr),
            static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  for (HANDLE handle : kNotPrinters) EXPECT_EQ(get(handle, freeMem, block, 4), ERROR_INVALID_HANDLE);
  host::FailCall(host::Call::GetPrinterData, 1);
  EXPECT_EQ(get(printer_, freeMem, block, 4), ERROR_NOT_ENOUGH_MEMORY);
  // A value set again under another case of its name replaces it, of the new type.
  host::SetPrinterDataBinary(printer_, u"FREEmem", std::vector<uint8_t>(2, 9));
  EXPECT_EQ(get(printer_, freeMem, block, 4), ERROR_SUCCESS);
  EXPECT_EQ(std::tuple(type, needed, block[1]), std::tuple(DWORD{REG_BINARY}, 2u, BYTE{9}));
  host::DeletePrinterData(printer_, u"freemem");
  EXPECT_EQ(get(printer_, freeMem, block, 4), ERROR_FILE_NOT_FOUND);
}

TEST_F(SpoolerTest, WritesAreKeptAndCanBeRefusedOrAcceptedInPart) {
  BYTE bytes[] = {1, 2, 3, 4, 5};
  DWORD written = 99;
  host::ShortWriteAt(printer_, 2, 3);
  EXPECT_TRUE(WritePrinter(printer_, bytes, 5, &written));
  EXPECT_EQ(written, 5u);
  EXPECT_TRUE(WritePrinter(printer_, bytes, 5, &written));
  EXPECT_EQ(written, 3u);
  host::FailCall(host::Call::WritePrinter, 1);
  EXPECT_FALSE(WritePrinter(printer_, bytes, 5, &written));
  EXPECT_EQ(std::tuple(written, GetLastError()), std::tuple(0u, static_cast<DWORD>(ERROR_WRITE_FAULT)));
  EXPECT_TRUE(WritePrinter(printer_, bytes, 0, &written));
  EXPECT_EQ(host::SpooledBytes(printer_), (std::vector<uint8_t>{1, 2, 3, 4, 5, 1, 2, 3}));
  EXPECT_EQ(host::WriteCalls(printer_), 4u);
  // Taken in exchange: the printer starts again, empty, in the memory it was given.
  std::vector<uint8_t> taken{9, 9};
  host::TakeSpooled(printer_, &taken);
  EXPECT_TRUE(WritePrinter(printer_, bytes, 1, &written));
  EXPECT_EQ(std::tuple(taken.size(), host::SpooledBytes(printer_), host::WriteCalls(printer_)),
            std::tuple(size_t{8}, std::vector<uint8_t>{1}, uint64_t{1}));
  for (HANDLE handle : kNotPrinters) EXPECT_FALSE(WritePrinter(handle, bytes, 5, &written) || GetLastError() != ERROR_INVALID_HANDLE);
}

}  // namespace
