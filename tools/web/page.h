// The live view's page: HTML, CSS and JavaScript in one document, with no outside resource, so
// it works with no network beyond the tool itself. "__KAVRO_TOKEN__" is replaced by the token.
#ifndef KAVRO_TOOL_WEB_PAGE_H
#define KAVRO_TOOL_WEB_PAGE_H

namespace kavro::tool::web {

extern const char kPage[];

}  // namespace kavro::tool::web

#endif  // KAVRO_TOOL_WEB_PAGE_H
