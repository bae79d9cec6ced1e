#include "types.hpp"

namespace morvanta {

const char* dimension_text(Dimension d) noexcept {
    switch (d) {
        case Dimension::Data: return "data";
        case Dimension::Embedding: return "embedding";
        case Dimension::Response: return "response";
        case Dimension::Confidence: return "confidence";
        case Dimension::Query: return "query";
    }
    return "data";
}

const char* dimension_json_name(Dimension d) noexcept {
    switch (d) {
        case Dimension::Data: return "Data";
        case Dimension::Embedding: return "Embedding";
        case Dimension::Response: return "Response";
        case Dimension::Confidence: return "Confidence";
        case Dimension::Query: return "Query";
    }
    return "Data";
}

}  // namespace morvanta
