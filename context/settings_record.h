// SPDX-License-Identifier: Apache-2.0
// The job's settings record: the public device-mode record followed by the driver's own
// private part. Applications and the spooler store these records, so every offset below
// is a stored format.
#pragma once

#include "context/model_data.h"
#include "platform/platform.h"

#define SETTINGS_PUBLIC_SIZE 220
#define SETTINGS_PRIVATE_SIZE 284
#define SETTINGS_RECORD_SIZE 504
#define SETTINGS_SPEC_VERSION 0x401
#define SETTINGS_DRIVER_VERSION 0x500
#define EXCHANGE_BLOCK_SIZE 30
#define PRIV_SIGNATURE 0x56495250u  // the bytes "PRIV"

// privFlags bits. Only PRIVF_JOURNAL has an effect: clear, it adds GCAPS_DONTJOURNAL to
// the device's capabilities. The defaults set all three.
#define PRIVF_JOURNAL 0x2000
#define PRIVF_DEFAULT 0x1000
#define PRIVF_LATIN_OR_EAST_ASIAN 0xA0  // the ANSI code page is 1252 or East Asian

// Bits of xbRequest and xbReport.
#define XB_PAPER_SIZE 0x1
#define XB_LENGTH 0x2
#define XB_MEDIA_TYPE 0x4
#define XB_OPTIONS 0x8
#define XB_MARGIN_MM 0x10
#define XB_WIDTH_MULTIPLE 0x20
#define XB_MARGIN_DOTS 0x40
#define XB_ECHO 0x1000

// xbOptions bits, one per option byte.
#define XBO_AUTO_CUT 0x1
#define XBO_MIRROR 0x4
#define XBO_HALF_CUT 0x200
#define XBO_CHAIN_PRINT 0x400
#define XBO_OPT800 0x800
#define XBO_RETAIN 0x20000        // privOpt20000: retain the page instead of printing it
#define XBO_RETAIN_LINES 0x40000  // privOpt40000: a retained page adds only its raster lines

// The dmFields bits the merge honours, and the default set (those plus DM_TTOPTION).
inline constexpr DWORD kSettingsDefaultFields = 0x1650F;

// The last-resort paper size code: the default record's, and the one the media lookup
// tries last.
inline constexpr WORD kLastResortPaperSize = 387;

// privHalftone: the tone conversion modes (0 and unknown values are taken as ordered).
inline constexpr BYTE kToneThreshold = 1;
inline constexpr BYTE kToneOrdered = 2;
inline constexpr BYTE kToneErrorDiffusion = 3;

#pragma pack(push, 1)

// The driver's private part (284 bytes). Bytes 0..29 are the exchange block through which
// applications ask for label settings (it counts only when xbSize is 30).
struct PrivateSettings {
  WORD xbSize;                // size of the exchange block: 30 when it counts
  WORD xbRequest;             // values the application supplies (exchange bits)
  WORD xbReport;              // values the driver reports back (exchange bits)
  WORD xbPaperSize;           // base paper size code of the label
  WORD xbMediaType;           // application's media type value, carried through
  WORD xbMargin;              // feed margin, whole millimetres or dots
  WORD xbWidthMultiple;       // 1..4: privWidthMultiple + 1
  BYTE xbReserved1[4];
  DWORD xbLength;             // label length in dots
  DWORD xbOptions;            // option bits (XBO_...)
  CHAR xbTag[4];              // "VQNZ"
  BYTE xbReserved2[2];
  DWORD privSignature;        // PRIV_SIGNATURE
  DWORD privFlags;            // PRIVF_...
  BYTE privReserved1[80];
  COLORADJUSTMENT privColorAdjustment;  // copied into the context's SideRecord
  BYTE privReserved2[66];
  WORD privMediaId;           // mrIndex of the selected media record
  WORD privPlainMediaId;      // mrIndex of the last selected record of kind 0
  BYTE privFormIndex;         // 0, or 1 + index of the selected media definition
  BYTE privMirror;            // 1: mirror printing
  BYTE privCollate;           // collate flag for the job record
  BYTE privWidthMultiple;     // 0..3, from the selected record
  BYTE privHalftone;          // tone conversion: 1 threshold, 2 ordered, 3 error diffusion
  signed char privContrast;   // signed contrast adjustment
  signed char privBrightness; // signed brightness adjustment
  BYTE privReserved3[3];
  DWORD privLengthDots;       // label length in dots at dmYResolution
  DWORD privLength;           // label length, tenths of a millimetre
  BYTE privReserved4[12];
  BYTE privAutoCut;           // 1: cut after each label
  BYTE privJobOption;         // value for the job record
  BYTE privInchUnits;         // 1 when the user's locale measures in inches
  BYTE privHalfCut;           // 1: half cut
  BYTE privMediaKind;         // mrKind of the selected record
  BYTE privReserved5[7];
  BYTE privLocaleDone;        // 1 once privInchUnits came from the locale
  BYTE privChainPrint;        // 1: chain printing
  BYTE privOpt800;            // 1: bit 0x20 of the advanced-mode byte
  BYTE privMarginInDots;      // 1 when privMargin was given in dots
  WORD privMargin;            // feed margin in dots at dmYResolution
  BYTE privReserved6[2];
  DWORD privMediaBase;        // first MediaTable record the lookups consider
  BYTE privUseMonitor;        // 0: plain printer commands; otherwise framed output
  BYTE privOpt20000;          // mirrors xbOptions bit XBO_RETAIN
  BYTE privReserved7[2];
  DWORD privOpt40000;         // 0 or 1, mirrors xbOptions bit XBO_RETAIN_LINES
  BYTE privSmallChar;         // 1: draw twice the dots across the head at 720 dpi
  BYTE privReserved8[3];
  DWORD privHighResAllowed;   // non-zero when 720 dots per inch may be chosen
};

#pragma pack(pop)

static_assert(sizeof(PrivateSettings) == SETTINGS_PRIVATE_SIZE);
static_assert(offsetof(PrivateSettings, xbLength) == 18);
static_assert(offsetof(PrivateSettings, xbOptions) == 22);
static_assert(offsetof(PrivateSettings, xbTag) == 26);
static_assert(offsetof(PrivateSettings, privSignature) == 32);
static_assert(offsetof(PrivateSettings, privFlags) == 36);
static_assert(offsetof(PrivateSettings, privColorAdjustment) == 120);
static_assert(offsetof(PrivateSettings, privMediaId) == 210);
static_assert(offsetof(PrivateSettings, privFormIndex) == 214);
static_assert(offsetof(PrivateSettings, privHalftone) == 218);
static_assert(offsetof(PrivateSettings, privBrightness) == 220);
static_assert(offsetof(PrivateSettings, privLengthDots) == 224);
static_assert(offsetof(PrivateSettings, privLength) == 228);
static_assert(offsetof(PrivateSettings, privAutoCut) == 244);
static_assert(offsetof(PrivateSettings, privMediaKind) == 248);
static_assert(offsetof(PrivateSettings, privLocaleDone) == 256);
static_assert(offsetof(PrivateSettings, privMargin) == 260);
static_assert(offsetof(PrivateSettings, privMediaBase) == 264);
static_assert(offsetof(PrivateSettings, privUseMonitor) == 268);
static_assert(offsetof(PrivateSettings, privOpt40000) == 272);
static_assert(offsetof(PrivateSettings, privSmallChar) == 276);
static_assert(offsetof(PrivateSettings, privHighResAllowed) == 280);

// A whole settings record as the driver holds it: public part of 220 bytes, then the
// private part. A caller's record may be shorter; CopySettings takes care of that.
struct SettingsRecord {
  DEVMODEW dm;
  PrivateSettings priv;
};
static_assert(sizeof(SettingsRecord) == SETTINGS_RECORD_SIZE);
static_assert(offsetof(SettingsRecord, priv) == SETTINGS_PUBLIC_SIZE);

// Media limits, by whether the medium is special (kind code 16 with option bit 0).
BOOL IsSpecialMedia(const MediaListEntry* entry);
DWORD MaxLengthTenths(const MediaListEntry* entry);
DWORD MinLengthTenths(const MediaListEntry* entry);
DWORD MinMarginTenths(const MediaListEntry* entry);
DWORD MinMarginDots360(const MediaListEntry* entry);
DWORD MaxMarginTenths(const MediaListEntry* entry);

// Lengths held within those limits, and margins below their greatest: the one rule for
// every length and margin that reaches the page, whichever way it came in. Conversions are
// formed in 64 bits and give the results of the written 32-bit rules wherever those do
// not overflow.
//
// A label length in tenths of a millimetre raised to the medium's minimum (unless
// keepShort) and lowered to its maximum, compared unsigned so that a negative length
// ends at the maximum.
DWORD BoundedLengthTenths(const MediaListEntry* entry, DWORD tenths, BOOL keepShort);
// A length in tenths of a millimetre in dots at a resolution:
// ((tenths x 10000) / 254 x resolution + 5000) / 10000, unsigned; low 32 bits kept.
DWORD LengthTenthsToDots(DWORD tenths, DWORD resolution);
// A margin in tenths of a millimetre in dots at a resolution:
// ((tenths x 100000) / 254 x resolution + 50000) / 100000, unsigned.
DWORD MarginTenthsToDots(DWORD tenths, DWORD resolution);
// A feed margin in dots at a resolution lowered to the medium's greatest margin converted to
// that resolution. A small margin stays as it is: it leaves a page all the same.
WORD BoundedMarginDots(const MediaListEntry* entry, DWORD dots, DWORD resolution);

// The device-mode version of a record from its size: 0 for null, 0x320 for 188 bytes,
// 0x400 for 212, 0x401 for 220, otherwise the record's own dmSpecVersion.
WORD SettingsSpecVersion(const DEVMODEW* record);

// Copies a caller's record of any known size into target, a full driver record. The
// caller's record is read only within the size it was given as (sourceBytes): its size
// fields may lie. Returns the bytes copied, or -1 when either record is refused, or the
// caller's does not hold what would be read of it.
LONG CopySettings(const DEVMODEW* source, DWORD sourceBytes, SettingsRecord* target);
