#include "foundation/files/XMLParser.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>

#include <algorithm>
#include <climits>
#include <mutex>

namespace Vel {
namespace {

std::once_flag g_libxmlInit;

void EnsureLibxml() {
    std::call_once(g_libxmlInit, [] { xmlInitParser(); });
}

// No NOENT (entities stay references) and no HUGE (the depth and size limits stay on).
constexpr int kParseOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

void IgnoreXPathError(void*, xmlErrorPtr) {}

}  // namespace

// ---- XMLParser --------------------------------------------------------------------------

XMLParser::XMLParser(std::string_view text) {
    FreeDocument();
    EnsureLibxml();
    if (text.empty() || text.size() > static_cast<std::size_t>(INT_MAX)) return;
    document_ = xmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, nullptr, kParseOptions);
}

XMLParser::~XMLParser() {
    if (document_) xmlFreeDoc(document_);
    document_ = nullptr;
    namespaces_.clear();
}

void XMLParser::FreeDocument() {
    if (document_) xmlFreeDoc(document_);
    document_ = nullptr;
}

XMLNode XMLParser::GetRootNode() const {
    if (!document_) return {};
    return XMLNode(this, xmlDocGetRootElement(document_));
}

void XMLParser::AddNamespace(std::string prefix, std::string uri) {
    namespaces_.emplace_back(std::move(prefix), std::move(uri));
}

// ---- XMLNode ----------------------------------------------------------------------------

XPathResult XMLNode::Select(const std::string& expression) const {
    if (!node_ || !parser_ || !parser_->document_) return {};
    std::shared_ptr<xmlXPathContext> context(xmlXPathNewContext(parser_->document_), xmlXPathFreeContext);
    if (!context) return {};
    context->node = node_;
    context->error = IgnoreXPathError;
    for (const auto& [prefix, uri] : parser_->namespaces_)
        xmlXPathRegisterNs(context.get(), reinterpret_cast<const xmlChar*>(prefix.c_str()),
                           reinterpret_cast<const xmlChar*>(uri.c_str()));
    std::shared_ptr<xmlXPathObject> object(
        xmlXPathEvalExpression(reinterpret_cast<const xmlChar*>(expression.c_str()), context.get()),
        xmlXPathFreeObject);
    if (!object) return {};
    return XPathResult(parser_, node_, std::move(context), std::move(object));
}

std::string XMLNode::GetText() const {
    std::string text;
    if (!node_) return text;
    for (xmlNode* child = node_->children; child; child = child->next)
        if ((child->type == XML_TEXT_NODE || child->type == XML_CDATA_SECTION_NODE) && child->content)
            text += reinterpret_cast<const char*>(child->content);
    return text;
}

// ---- XPathResult ------------------------------------------------------------------------

XPathResult::XPathResult(const XMLParser* parser, xmlNode* /*context*/, std::shared_ptr<xmlXPathContext> xpath,
                         std::shared_ptr<xmlXPathObject> object)
    : parser_(parser), xpath_(std::move(xpath)), object_(std::move(object)) {}

std::size_t XPathResult::GetCount() const {
    if (!object_ || object_->type != XPATH_NODESET || !object_->nodesetval) return 0;
    return static_cast<std::size_t>(std::max(object_->nodesetval->nodeNr, 0));
}

XMLNode XPathResult::GetNode(std::size_t index) const {
    if (index >= GetCount()) return {};
    xmlNode* node = object_->nodesetval->nodeTab[index];
    if (!node || (node->type != XML_ELEMENT_NODE && node->type != XML_ATTRIBUTE_NODE)) return {};
    return XMLNode(parser_, node);
}

}  // namespace Vel
