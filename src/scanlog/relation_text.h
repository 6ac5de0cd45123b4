// The relation file: a scan log's parent links as one line of text,
// " | KEY - [ID,ID,...] | KEY - [...]" with keys ascending.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "scanlog/scan_record.h"

namespace kestrune {

using ParentLinks = std::map<ParentKey, std::vector<uint32_t>>;

std::string FormatRelationText(const ParentLinks& links);

// Reads the text as far as it is sound into links. Each entry's list replaces the one its
// key had. Numbers that are not plain decimals, keys above 64 bits and ids above 32 bits
// are skipped; an entry without its closing "]" keeps the ids met before the end.
void ParseRelationText(std::string_view text, ParentLinks& links);

}  // namespace kestrune
