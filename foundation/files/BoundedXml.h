#pragma once
// Reading XML that comes from outside (a server, a file) into a property tree without letting
// its nesting exhaust the stack.
//
// The property-tree XML reader recurses once per element level while parsing, copying and
// destroying the tree, so a small document nested tens of thousands of levels deep would end
// the process. ReadBoundedXml first measures the element nesting with a flat scan that follows
// the reader's own rules for what is markup (comments, CDATA sections, processing
// instructions, the document type declaration, attribute values in either quote, text) and
// refuses a document that goes deeper than the bound before the reader sees it.
//
// Contract:
// - XmlElementDepth(text, limit) gives the deepest element nesting the reader would build from
//   `text` (the root element is depth 1; 0 for no element). The scan stops as soon as the depth
//   passes `limit` and then returns limit + 1. Where the reader would fail on malformed text
//   the scan stops too and returns the deepest level seen up to there, which the reader never
//   goes past. It never recurses and reads each byte at most a few times.
// - ReadBoundedXml reads like boost::property_tree::read_xml(stream, tree, flags); a document
//   nested deeper than maxDepth throws boost::property_tree::xml_parser_error as a malformed
//   one does, and leaves `tree` as it was.
// - Free functions without shared state; any thread may call them.

#include <boost/property_tree/ptree_fwd.hpp>
#include <cstddef>
#include <string>
#include <string_view>

namespace Vel {

// Enough for every document this program reads (they have two or three levels).
inline constexpr std::size_t kMaxXmlDepth = 32;

std::size_t XmlElementDepth(std::string_view text, std::size_t limit);

void ReadBoundedXml(const std::string& text, boost::property_tree::ptree& tree, int flags = 0,
                    std::size_t maxDepth = kMaxXmlDepth);

}  // namespace Vel
