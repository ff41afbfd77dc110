#pragma once
#include <string>

#include "feeds/xmlparser.h"

namespace native {
// What CXmlParser::Parse runs: delivers one document's events to the callback.
using ParseFn = bool (*)(const std::string& url, IXmlParserCallback& callback);
extern ParseFn g_parse;
} // namespace native
