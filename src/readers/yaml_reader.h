// The YAML body reader: one YAML document into one dynamic value, over the
// event parser of the YAML library. The system reads YAML and never writes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "value/value.h"
#include "readers/tree_builder.h"

namespace kiv::codecs {

// Sequences and mappings nested deeper than this fail the read. Aliases,
// alias keys and the members a mapping already held when a repeated key
// opens it again are charged to the text's TreeBudget (tree_builder.h), so
// that expansion never outgrows the input by more than a constant.
inline constexpr uint32_t kYamlMaxNesting = static_cast<uint32_t>(kMaxContainerDepth);

// Reads a text of at most one document. An empty text, or one of comments
// only, gives an Empty value. Every failure is a message in the result.
//
// Plain scalars are resolved: the null words give Empty, numbers give
// Unsigned, Signed or Float (an integer written in decimal is kept exactly
// when it fits its 64-bit kind), the bool words give Bool, everything else
// and every quoted scalar stays a String. Mapping keys stay texts, whatever
// they look like. An alias copies its anchored node as built so far.
binding::ValueResult ReadYaml(std::string_view text);

// Whether an argument that came without a content type looks like YAML:
// after leading spaces (the byte 0x20 only), the text starts with "---".
bool LooksLikeYaml(std::string_view text);

}  // namespace kiv::codecs
