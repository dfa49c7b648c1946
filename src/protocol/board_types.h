// The board types: how each keeps its data.
#ifndef KAVRO_BOARD_TYPES_H
#define KAVRO_BOARD_TYPES_H

#include "kavro/protocol.h"

namespace kavro::detail {

// How each board type keeps its data. Codes 0 to 16 are listed; every code above 16 is
// unsupported.
enum class BoardFamily : unsigned char {
  kType0,             // EEPROM at the type-0 addresses
  kCommon,            // EEPROM at the common addresses
  kChannelRegisters,  // type 9: per-channel registers and channel-addressed frames
  kUnsupported,
};

struct BoardTypeInfo {
  BoardFamily family;
  bool takes_whole_config_byte;  // served by Set_ADC_Configuration2
  bool caps_rate_at_11;          // the converter of type 12 has no rate codes above 11
};

constexpr BoardTypeInfo kBoardTypes[] = {
    /* 0 */ {BoardFamily::kType0, true, false},
    /* 1 */ {BoardFamily::kCommon, true, false},
    /* 2 */ {BoardFamily::kCommon, true, false},
    /* 3 */ {BoardFamily::kCommon, true, false},
    /* 4 */ {BoardFamily::kCommon, true, false},
    /* 5 */ {BoardFamily::kUnsupported, true, false},
    /* 6 */ {BoardFamily::kCommon, true, false},
    /* 7 */ {BoardFamily::kCommon, true, false},
    /* 8 */ {BoardFamily::kCommon, true, false},
    /* 9 */ {BoardFamily::kChannelRegisters, true, false},
    /* 10 */ {BoardFamily::kUnsupported, true, false},
    /* 11 */ {BoardFamily::kCommon, true, false},
    /* 12 */ {BoardFamily::kCommon, true, true},
    /* 13 */ {BoardFamily::kCommon, true, false},
    /* 14 */ {BoardFamily::kCommon, true, false},
    /* 15 */ {BoardFamily::kUnsupported, false, false},
    /* 16 */ {BoardFamily::kCommon, true, false},
};
static_assert(kBoardTypes[kBoardType0].family == BoardFamily::kType0);
static_assert(kBoardTypes[kBoardTypeChannelRegisters].family == BoardFamily::kChannelRegisters);

inline BoardTypeInfo LookupBoardType(unsigned int type) {
  constexpr unsigned int kKnown = sizeof(kBoardTypes) / sizeof(kBoardTypes[0]);
  return type < kKnown ? kBoardTypes[type] : BoardTypeInfo{BoardFamily::kUnsupported, false, false};
}

inline bool HasChannelRegisters(unsigned int board_type) {
  return board_type == kBoardTypeChannelRegisters;
}

}  // namespace kavro::detail

#endif  // KAVRO_BOARD_TYPES_H
