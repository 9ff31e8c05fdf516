#pragma once
// Values of the opc.tcp client: the caller's value objects to and from the
// wire's Variants, and status codes as log text. Pure functions.
#include <cstdint>
#include <string>
#include <vector>

#include "plinth/NodeData.h"
#include "plinth/UaBinary.h"

namespace VESK::DAQ::ua {

// "0x80340000" for log lines.
std::string Hex(uint32_t code);
// The node's value as a Variant of the node's own built-in type; one
// element (as a one-element array) when element is set. False for types we
// do not write.
bool ToVariant(const DataValueBase& value, uint8_t type, bool element, Variant& out);
// Stores a read Variant into the caller's value object, converting to its
// type. False (value untouched) for types we do not read.
bool Store(const Variant& v, DataValueBase& target);
// Why an answer does not fit the value the profile declared (empty: it fits).
std::string Mismatch(const Variant& v, const DataValueBase& declared);
// "2", or "1,3" for two dimensions: the index range of a write to elements.
std::string IndexRange(const std::vector<int>& indices);

}  // namespace VESK::DAQ::ua
