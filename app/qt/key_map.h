#pragma once
// Qt key codes to the virtual-key codes of the key table.
#include <cstdint>

// Arrows 0x25-0x28, letters by their upper-case codes whatever the Shift
// state, digits 0x30-0x39, space 0x20; 0 for any other key.
std::uint32_t virtual_key_from_qt(int qt_key);
