#pragma once
// Vel::XMLParser: an XML document held in memory (libxml2), with XPath selection.
//
// Contract:
// - The text is parsed from memory with network access, DTD loading and the expansion of
//   entities other than the predefined ones turned off, libxml2's depth and size limits on,
//   and its error output silenced. A text that does not parse (or is longer than libxml2 can
//   take) leaves the parser invalid; nothing is thrown.
// - GetRootNode is the root element (a leading comment, processing instruction or DOCTYPE is
//   skipped); the null node for an invalid parser. Selecting from the null node gives an
//   empty result.
// - XMLNode::GetText joins the text and CDATA children of the node (character references and
//   the predefined entities already resolved); references to declared entities add nothing.
// - Nodes and results point into the parser's document: they are valid while the parser
//   lives. A parser and its nodes and results belong to one thread at a time; different
//   parsers may be used on different threads at once. No locks.

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct _xmlDoc;
struct _xmlNode;
struct _xmlXPathContext;
struct _xmlXPathObject;

namespace Vel {

class XMLParser;
class XPathResult;

class XMLNode {
public:
    XMLNode() = default;
    XMLNode(const XMLParser* parser, _xmlNode* node) : parser_(parser), node_(node) {}

    bool IsNull() const noexcept { return node_ == nullptr; }
    // The nodes the XPath expression selects with this node as context.
    XPathResult Select(const std::string& expression) const;
    std::string GetText() const;

private:
    const XMLParser* parser_ = nullptr;
    _xmlNode* node_ = nullptr;
};

class XPathResult {
public:
    XPathResult() = default;
    XPathResult(const XMLParser* parser, _xmlNode* context, std::shared_ptr<_xmlXPathContext> xpath,
                std::shared_ptr<_xmlXPathObject> object);

    // Nodes in the result's node set; 0 when the result is not a node set.
    std::size_t GetCount() const;
    // The node at the index when there is one and it is an element or an attribute; else the
    // null node.
    XMLNode GetNode(std::size_t index) const;

private:
    const XMLParser* parser_ = nullptr;
    std::shared_ptr<_xmlXPathContext> xpath_;
    std::shared_ptr<_xmlXPathObject> object_;
};

class XMLParser {
public:
    // Opens a named resource for a parser (the resource file system's hook).
    class IFileProvider {
    public:
        virtual ~IFileProvider() = default;
        virtual bool Open(const std::string& path, unsigned mode) = 0;
    };

    explicit XMLParser(std::string_view text);
    virtual ~XMLParser();
    XMLParser(const XMLParser&) = delete;
    XMLParser& operator=(const XMLParser&) = delete;

    bool IsValid() const noexcept { return document_ != nullptr; }
    XMLNode GetRootNode() const;

    // A (prefix, namespace URI) pair registered with every later XPath query.
    void AddNamespace(std::string prefix, std::string uri);
    const std::vector<std::pair<std::string, std::string>>& GetNamespaces() const noexcept { return namespaces_; }

    // Frees the document; the parser is invalid afterwards.
    virtual void FreeDocument();

private:
    friend class XMLNode;
    _xmlDoc* document_ = nullptr;
    std::vector<std::pair<std::string, std::string>> namespaces_;
};

}  // namespace Vel
