// SPDX-License-Identifier: Apache-2.0
// Windows types, records and constants that the driver uses, declared for the Linux host.
//
// On Windows the system headers provide all of this (see platform.h); here we declare the
// same names with the same layouts, so that the driver sources compile unchanged on both.
// Records that cross the engine boundary or are stored keep their 32-bit Windows layout;
// layout_checks.h pins them. Text is UTF-16 (char16_t); wchar_t is 4 bytes on Linux and
// never used.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__i386__)
#  define WINAPI __attribute__((stdcall))
#else
#  define WINAPI
#endif
#define APIENTRY WINAPI
#define CALLBACK WINAPI

typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef uint32_t ULONG;  // 32 bits, as on Windows, whatever the host's long is
typedef int32_t LONG;
typedef uint16_t USHORT;
typedef int16_t SHORT;
typedef uint32_t UINT;
typedef int32_t INT;
typedef int32_t BOOL;
typedef BOOL WINBOOL;
typedef uint32_t FLONG;
typedef int64_t LONGLONG;
typedef char16_t WCHAR;
typedef char CHAR;
typedef void VOID;
typedef void* PVOID;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef BYTE* LPBYTE;
typedef BYTE* PBYTE;
typedef DWORD* LPDWORD;
typedef DWORD* PDWORD;
typedef ULONG* PULONG;
typedef USHORT* PUSHORT;
typedef LONG* PLONG;
typedef UINT* PUINT;
typedef WCHAR* LPWSTR;
typedef WCHAR* PWSTR;
typedef const WCHAR* LPCWSTR;
typedef CHAR* LPSTR;
typedef const CHAR* LPCSTR;
typedef uintptr_t ULONG_PTR;
typedef intptr_t LONG_PTR;
typedef size_t SIZE_T;
typedef DWORD LCID;
typedef DWORD LCTYPE;
typedef LONG LSTATUS;
typedef DWORD REGSAM;
typedef LONG FIX;
typedef LONG LDECI4;

#ifndef TRUE
#  define TRUE 1
#endif
#ifndef FALSE
#  define FALSE 0
#endif

// Kernel, spooler and registry handles are pointer-sized and opaque, as on Windows.
typedef void* HANDLE;
typedef HANDLE* LPHANDLE;
typedef HANDLE HGLOBAL;
typedef HANDLE HLOCAL;
typedef struct HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;
typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef LONG_PTR(WINAPI* FARPROC)();

// Engine object handles are 32-bit values from the host engine's own tables, so that the
// engine records holding them (DEVINFO) keep their 32-bit size. Code that must build on
// both sides writes `h = {}` and tests `if (h)`; `nullptr` does not convert to these.
enum HSURF : uint32_t {};
enum DHSURF : uint32_t {};
enum HBITMAP : uint32_t {};
enum HPALETTE : uint32_t {};
enum HDEV : uint32_t {};
// The driver's own device handle is its context pointer.
typedef struct DHPDEV__* DHPDEV;

typedef LONG_PTR(APIENTRY* PFN)();

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)))

// ---------------------------------------------------------------------------------------
// Geometry records

typedef struct _POINTL {
  LONG x;
  LONG y;
} POINTL, *PPOINTL;

typedef struct _RECTL {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
} RECTL, *PRECTL;

typedef struct tagSIZE {
  LONG cx;
  LONG cy;
} SIZEL, *PSIZEL;

typedef struct _POINTFIX {
  FIX x;
  FIX y;
} POINTFIX, *PPOINTFIX;

// ---------------------------------------------------------------------------------------
// Settings and colour records

#define CCHDEVICENAME 32
#define CCHFORMNAME 32

typedef struct _devicemodeW {
  WCHAR dmDeviceName[CCHDEVICENAME];
  WORD dmSpecVersion;
  WORD dmDriverVersion;
  WORD dmSize;
  WORD dmDriverExtra;
  DWORD dmFields;
  union {
    struct {
      short dmOrientation;
      short dmPaperSize;
      short dmPaperLength;
      short dmPaperWidth;
      short dmScale;
      short dmCopies;
      short dmDefaultSource;
      short dmPrintQuality;
    };
    struct {
      POINTL dmPosition;
      DWORD dmDisplayOrientation;
      DWORD dmDisplayFixedOutput;
    };
  };
  short dmColor;
  short dmDuplex;
  short dmYResolution;
  short dmTTOption;
  short dmCollate;
  WCHAR dmFormName[CCHFORMNAME];
  WORD dmLogPixels;
  DWORD dmBitsPerPel;
  DWORD dmPelsWidth;
  DWORD dmPelsHeight;
  union {
    DWORD dmDisplayFlags;
    DWORD dmNup;
  };
  DWORD dmDisplayFrequency;
  DWORD dmICMMethod;
  DWORD dmICMIntent;
  DWORD dmMediaType;
  DWORD dmDitherType;
  DWORD dmReserved1;
  DWORD dmReserved2;
  DWORD dmPanningWidth;
  DWORD dmPanningHeight;
} DEVMODEW, *PDEVMODEW, *LPDEVMODEW;

typedef struct tagCOLORADJUSTMENT {
  WORD caSize;
  WORD caFlags;
  WORD caIlluminantIndex;
  WORD caRedGamma;
  WORD caGreenGamma;
  WORD caBlueGamma;
  WORD caReferenceBlack;
  WORD caReferenceWhite;
  SHORT caContrast;
  SHORT caBrightness;
  SHORT caColorfulness;
  SHORT caRedGreenTint;
} COLORADJUSTMENT, *PCOLORADJUSTMENT;

typedef struct tagLOGFONTW {
  LONG lfHeight;
  LONG lfWidth;
  LONG lfEscapement;
  LONG lfOrientation;
  LONG lfWeight;
  BYTE lfItalic;
  BYTE lfUnderline;
  BYTE lfStrikeOut;
  BYTE lfCharSet;
  BYTE lfOutPrecision;
  BYTE lfClipPrecision;
  BYTE lfQuality;
  BYTE lfPitchAndFamily;
  WCHAR lfFaceName[32];
} LOGFONTW;

typedef struct _CIECHROMA {
  LDECI4 x;
  LDECI4 y;
  LDECI4 Y;
} CIECHROMA;

typedef struct _COLORINFO {
  CIECHROMA Red;
  CIECHROMA Green;
  CIECHROMA Blue;
  CIECHROMA Cyan;
  CIECHROMA Magenta;
  CIECHROMA Yellow;
  CIECHROMA AlignmentWhite;
  LDECI4 RedGamma;
  LDECI4 GreenGamma;
  LDECI4 BlueGamma;
  LDECI4 MagentaInCyanDye;
  LDECI4 YellowInCyanDye;
  LDECI4 CyanInMagentaDye;
  LDECI4 YellowInMagentaDye;
  LDECI4 CyanInYellowDye;
  LDECI4 MagentaInYellowDye;
} COLORINFO, *PCOLORINFO;

typedef struct _DEVHTINFO {
  DWORD HTFlags;
  DWORD HTPatternSize;
  DWORD DevPelsDPI;
  COLORINFO ColorInfo;
} DEVHTINFO, *PDEVHTINFO;

// ---------------------------------------------------------------------------------------
// Engine (DDI) records

typedef struct _GDIINFO {
  ULONG ulVersion;
  ULONG ulTechnology;
  ULONG ulHorzSize;
  ULONG ulVertSize;
  ULONG ulHorzRes;
  ULONG ulVertRes;
  ULONG cBitsPixel;
  ULONG cPlanes;
  ULONG ulNumColors;
  ULONG flRaster;
  ULONG ulLogPixelsX;
  ULONG ulLogPixelsY;
  ULONG flTextCaps;
  ULONG ulDACRed;
  ULONG ulDACGreen;
  ULONG ulDACBlue;
  ULONG ulAspectX;
  ULONG ulAspectY;
  ULONG ulAspectXY;
  LONG xStyleStep;
  LONG yStyleStep;
  LONG denStyleStep;
  POINTL ptlPhysOffset;
  SIZEL szlPhysSize;
  ULONG ulNumPalReg;
  COLORINFO ciDevice;
  ULONG ulDevicePelsDPI;
  ULONG ulPrimaryOrder;
  ULONG ulHTPatternSize;
  ULONG ulHTOutputFormat;
  ULONG flHTFlags;
  ULONG ulVRefresh;
  ULONG ulBltAlignment;
  ULONG ulPanningHorzRes;
  ULONG ulPanningVertRes;
  ULONG xPanningAlignment;
  ULONG yPanningAlignment;
  ULONG cxHTPat;
  ULONG cyHTPat;
  // Pattern pointers in the 32-bit record; always 0 from this driver, so the host keeps
  // them 32 bits wide and the record at its 304 bytes.
  ULONG pHTPatA;
  ULONG pHTPatB;
  ULONG pHTPatC;
  ULONG flShadeBlend;
  ULONG ulPhysicalPixelCharacteristics;
  ULONG ulPhysicalPixelGamma;
} GDIINFO, *PGDIINFO;

typedef struct _DEVINFO {
  FLONG flGraphicsCaps;
  LOGFONTW lfDefaultFont;
  LOGFONTW lfAnsiVarFont;
  LOGFONTW lfAnsiFixFont;
  ULONG cFonts;
  ULONG iDitherFormat;
  USHORT cxDither;
  USHORT cyDither;
  HPALETTE hpalDefault;
  FLONG flGraphicsCaps2;
} DEVINFO, *PDEVINFO;

typedef struct _SURFOBJ {
  DHSURF dhsurf;
  HSURF hsurf;
  DHPDEV dhpdev;
  HDEV hdev;
  SIZEL sizlBitmap;
  ULONG cjBits;
  PVOID pvBits;
  PVOID pvScan0;
  LONG lDelta;
  ULONG iUniq;
  ULONG iBitmapFormat;
  USHORT iType;
  USHORT fjBitmap;
} SURFOBJ;

typedef struct _CLIPOBJ {
  ULONG iUniq;
  RECTL rclBounds;
  BYTE iDComplexity;
  BYTE iFComplexity;
  BYTE iMode;
  BYTE fjOptions;
} CLIPOBJ;

typedef struct _PATHOBJ {
  FLONG fl;
  ULONG cCurves;
} PATHOBJ;

typedef struct _PATHDATA {
  FLONG flags;
  ULONG count;
  POINTFIX* pptfx;
} PATHDATA, *PPATHDATA;

typedef struct _DRVFN {
  ULONG iFunc;
  PFN pfn;
} DRVFN, *PDRVFN;

typedef struct _DRVENABLEDATA {
  ULONG iDriverVersion;
  ULONG c;
  DRVFN* pdrvfn;
} DRVENABLEDATA, *PDRVENABLEDATA;

typedef struct _IFIMETRICS IFIMETRICS, *PIFIMETRICS;

// ---------------------------------------------------------------------------------------
// Spooler records

typedef struct _DRIVER_INFO_2W {
  DWORD cVersion;
  LPWSTR pName;
  LPWSTR pEnvironment;
  LPWSTR pDriverPath;
  LPWSTR pDataFile;
  LPWSTR pConfigFile;
} DRIVER_INFO_2W, *PDRIVER_INFO_2W;

typedef struct _PRINTER_INFO_9W {
  LPDEVMODEW pDevMode;
} PRINTER_INFO_9W, *PPRINTER_INFO_9W;

// ---------------------------------------------------------------------------------------
// Kernel records

// A critical section: re-entrant for its owning thread, as on Windows.
typedef struct _RTL_CRITICAL_SECTION {
  void* hostLock;  // the host's mutex, created by InitializeCriticalSectionAndSpinCount
} CRITICAL_SECTION, *LPCRITICAL_SECTION;

// ---------------------------------------------------------------------------------------
// Constants

#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_DATA 13L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_WRITE_FAULT 29L
#define ERROR_GEN_FAILURE 31L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_BAD_DRIVER_LEVEL 119L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_BAD_PATHNAME 161L
#define ERROR_FILENAME_EXCED_RANGE 206L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_FILE_INVALID 1006L
#define ERROR_RESOURCE_TYPE_NOT_FOUND 1813L
#define ERROR_INVALID_PRINTER_NAME 1801L
#define ERROR_UNKNOWN_PRINTER_DRIVER 1797L

#define STATUS_NO_MEMORY 0xC0000017u

#define HEAP_ZERO_MEMORY 0x00000008
#define GMEM_FIXED 0x0000
#define GMEM_ZEROINIT 0x0040
#define GPTR (GMEM_FIXED | GMEM_ZEROINIT)
#define LMEM_FIXED 0x0000
#define LMEM_ZEROINIT 0x0040
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)

#define MAX_PATH 260
#define GENERIC_READ 0x80000000u
#define FILE_SHARE_READ 0x00000001
#define OPEN_EXISTING 3
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define PAGE_READONLY 0x02
#define FILE_MAP_READ 0x0004
#define INVALID_FILE_SIZE 0xFFFFFFFFu

#define LOCALE_USER_DEFAULT 0x0400
#define LOCALE_ICOUNTRY 0x00000005
#define LOCALE_IMEASURE 0x0000000D

#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000002u)))
#define KEY_READ 0x20019
#define REG_NONE 0
#define REG_SZ 1
#define REG_BINARY 3
#define REG_DWORD 4

// Device-mode fields
#define DM_ORIENTATION 0x00000001
#define DM_PAPERSIZE 0x00000002
#define DM_PAPERLENGTH 0x00000004
#define DM_PAPERWIDTH 0x00000008
#define DM_SCALE 0x00000010
#define DM_COPIES 0x00000100
#define DM_PRINTQUALITY 0x00000400
#define DM_COLOR 0x00000800
#define DM_DUPLEX 0x00001000
#define DM_YRESOLUTION 0x00002000
#define DM_TTOPTION 0x00004000
#define DM_COLLATE 0x00008000
#define DM_FORMNAME 0x00010000
#define DMORIENT_PORTRAIT 1
#define DMORIENT_LANDSCAPE 2
#define DMPAPER_USER 256
#define DMCOLOR_MONOCHROME 1
#define DMCOLOR_COLOR 2
#define DMDUP_SIMPLEX 1
#define DMTT_SUBDEV 3

// Engine
#define DDI_DRIVER_VERSION_NT4 0x00020000
#define DRVQUERY_USERMODE 0x00000001
#define DT_RASPRINTER 2
#define GCAPS_BEZIERS 0x00000001
#define GCAPS_GEOMETRICWIDE 0x00000002
#define GCAPS_ALTERNATEFILL 0x00000004
#define GCAPS_WINDINGFILL 0x00000008
#define GCAPS_HALFTONE 0x00000010
#define GCAPS_OPAQUERECT 0x00000100
#define GCAPS_DONTJOURNAL 0x00002000
#define BMF_1BPP 1L
#define BMF_4BPP 2L
#define BMF_8BPP 3L
#define BMF_24BPP 5L
#define BMF_TOPDOWN 0x0001
#define STYPE_BITMAP 0
#define PAL_INDEXED 0x00000001
#define HT_FORMAT_4BPP 2
#define HT_FLAG_HAS_BLACK_DYE 0x00000002
#define HT_PATSIZE_4x4_M 3
#define HT_PATSIZE_6x6_M 5
#define HT_PATSIZE_8x8_M 7
#define HT_PATSIZE_10x10_M 9
#define HT_PATSIZE_12x12_M 11
#define HT_PATSIZE_14x14_M 13
#define HT_PATSIZE_16x16_M 15
#define PRIMARY_ORDER_ABC 0
#define DC_TRIVIAL 0
#define DC_RECT 1
#define DC_COMPLEX 3
#define PD_BEGINSUBPATH 0x00000001
#define PD_ENDSUBPATH 0x00000002
#define PD_RESETSTYLE 0x00000004
#define PD_CLOSEFIGURE 0x00000008
#define PD_BEZIERS 0x00000010
#define ED_ABORTDOC 0x00000001
#define QUERYESCSUPPORT 8
#define ENCAPSULATED_POSTSCRIPT 4116

#define INDEX_DrvEnablePDEV 0L
#define INDEX_DrvCompletePDEV 1L
#define INDEX_DrvDisablePDEV 2L
#define INDEX_DrvEnableSurface 3L
#define INDEX_DrvDisableSurface 4L
#define INDEX_DrvResetPDEV 7L
#define INDEX_DrvDisableDriver 8L
#define INDEX_DrvEscape 24L
#define INDEX_DrvDrawEscape 25L
#define INDEX_DrvQueryFont 26L
#define INDEX_DrvSendPage 32L
#define INDEX_DrvStartPage 33L
#define INDEX_DrvEndDoc 34L
#define INDEX_DrvStartDoc 35L
#define INDEX_DrvStartBanding 57L
#define INDEX_DrvNextBand 58L
