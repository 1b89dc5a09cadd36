#include "app/dictionary/standard_table.h"

#include <array>

namespace dictionary {
namespace {

constexpr std::array<std::string_view, 96> kEntities = {
    "&nbsp",   "&iexcl",  "&cent",   "&pound",  "&curren", "&yen",    "&brvbar", "&sect",
    "&uml",    "&copy",   "&ordf",   "&laquo",  "&not",    "&shy",    "&reg",    "&macr",
    "&deg",    "&plusmn", "&sup2",   "&sup3",   "&acute",  "&micro",  "&para",   "&middot",
    "&cedil",  "&sup1",   "&ordm",   "&raquo",  "&frac14", "&frac12", "&frac34", "&iquest",
    "&Agrave", "&Aacute", "&Acirc",  "&Atilde", "&Auml",   "&Aring",  "&AElig",  "&Ccedil",
    "&Egrave", "&Eacute", "&Ecirc",  "&Euml",   "&Igrave", "&Iacute", "&Icirc",  "&Iuml",
    "&ETH",    "&Ntilde", "&Ograve", "&Oacute", "&Ocirc",  "&Otilde", "&Ouml",   "&times",
    "&Oslash", "&Ugrave", "&Uacute", "&Ucirc",  "&Uuml",   "&Yacute", "&THORN",  "&szlig",
    "&agrave", "&aacute", "&acirc",  "&atilde", "&auml",   "&aring",  "&aelig",  "&ccedil",
    "&egrave", "&eacute", "&ecirc",  "&euml",   "&igrave", "&iacute", "&icirc",  "&iuml",
    "&eth",    "&ntilde", "&ograve", "&oacute", "&ocirc",  "&otilde", "&ouml",   "&divide",
    "&oslash", "&ugrave", "&uacute", "&ucirc",  "&uuml",   "&yacute", "&thorn",  "&yuml",
};

// Every byte as a one-character string, for the entries that are the
// character itself.
constexpr std::array<char, 256> kBytes = [] {
  std::array<char, 256> b{};
  for (int i = 0; i < 256; ++i) b[static_cast<std::size_t>(i)] = static_cast<char>(i);
  return b;
}();

std::string_view self(int code) { return std::string_view(&kBytes[static_cast<std::size_t>(code)], 1); }

}  // namespace

std::string_view standard_entity(int code) {
  if (code >= 160 && code <= 255) return kEntities[static_cast<std::size_t>(code - 160)];
  if (code >= 33 && code <= 128) return self(code);
  return {};
}

std::string_view standard_replacement(int code) {
  if (code < kFirstStandardCode || code > kLastStandardCode) return {};
  const std::string_view entity = standard_entity(code);
  return entity.empty() ? self(code) : entity;
}

}  // namespace dictionary
