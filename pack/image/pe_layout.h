// pe_layout.h: the PE32 header fields selfextr reads and writes, by name.
// Offsets are from the start of each structure: the COFF file header (after
// the "PE\0\0" signature), the optional header and one section header.
#pragma once
#include <cstdint>

namespace selfextr::pe {

constexpr uint32_t kDosLfanew = 0x3C;  // where the MZ header keeps the PE header's offset
constexpr uint32_t kDosHeaderBytes = 64;  // the MZ header alone, without a DOS program after it
constexpr uint32_t kSignature = 0x00004550;  // "PE\0\0"
constexpr uint32_t kSignatureBytes = 4;

// IMAGE_FILE_HEADER
constexpr uint32_t kFileMachine = 0, kFileSections = 2, kFileTimeDateStamp = 4, kFileSymbolTable = 8, kFileSymbolCount = 12,
                   kFileOptionalSize = 16;
constexpr uint32_t kFileHeaderBytes = 20;
constexpr uint16_t kMachineI386 = 0x14C;

// IMAGE_OPTIONAL_HEADER32
constexpr uint32_t kOptMagic = 0, kOptSizeOfInitializedData = 8, kOptImageBase = 28, kOptSectionAlignment = 32,
                   kOptFileAlignment = 36, kOptSizeOfImage = 56, kOptSizeOfHeaders = 60, kOptCheckSum = 64,
                   kOptSubsystem = 68, kOptDllCharacteristics = 70, kOptDirectoryCount = 92, kOptDirectories = 96;
constexpr uint16_t kMagicPe32 = 0x10B;
constexpr uint16_t kDllDynamicBase = 0x0040, kDllNxCompat = 0x0100;

// IMAGE_DATA_DIRECTORY: an RVA (a file offset for the certificate table) and a size.
constexpr uint32_t kDirAddress = 0, kDirSize = 4, kDirBytes = 8;
constexpr uint32_t kDirImport = 1, kDirResource = 2, kDirSecurity = 4, kDirBaseReloc = 5, kDirDebug = 6;

// IMAGE_SECTION_HEADER
constexpr uint32_t kSecName = 0, kSecVirtualSize = 8, kSecVirtualAddress = 12, kSecRawSize = 16, kSecRawPointer = 20,
                   kSecRelocPointer = 24, kSecLinePointer = 28, kSecCharacteristics = 36;
constexpr uint32_t kSectionHeaderBytes = 40;
constexpr uint32_t kScnCode = 0x00000020, kScnInitializedData = 0x00000040, kScnUninitializedData = 0x00000080,
                   kScnExecute = 0x20000000, kScnRead = 0x40000000, kScnWrite = 0x80000000;

// IMAGE_RESOURCE_DIRECTORY and its entries; IMAGE_RESOURCE_DATA_ENTRY.
constexpr uint32_t kResDirNamedCount = 12, kResDirIdCount = 14, kResDirBytes = 16;
constexpr uint32_t kResEntryKey = 0, kResEntryTarget = 4, kResEntryBytes = 8;
constexpr uint32_t kResSubdirectory = 0x80000000u, kResNamed = 0x80000000u;
constexpr uint32_t kResDataRva = 0, kResDataSize = 4, kResDataCodepage = 8, kResDataBytes = 16;

}  // namespace selfextr::pe
