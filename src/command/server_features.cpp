#include "command/server_features.h"

namespace tarselctl {

namespace {
String Upper(String text) {
    for (char16_t& c : text)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    return text;
}
}  // namespace

std::vector<String> FeatureLines(const String& reply) {
    std::vector<String> features;
    std::size_t start = reply.find(u"\r\n");
    while (start != String::npos) {
        start += 2;
        const std::size_t end = reply.find(u"\r\n", start);
        // The last line is the reply's end ("211 End"), never a feature.
        if (end == String::npos) break;
        const String line = reply.substr(start, end - start);
        const std::size_t first = line.find_first_not_of(u' ');
        if (!line.empty() && line[0] == u' ' && first != String::npos) features.push_back(line.substr(first));
        start = end;
    }
    return features;
}

bool ListsFeature(const std::vector<String>& features, const String& name) {
    const String wanted = Upper(name);
    for (const String& line : features)
        if (Upper(line.substr(0, line.find(u' '))) == wanted) return true;
    return false;
}

}  // namespace tarselctl
