#include "error.hpp"

namespace morvanta {

std::string DriftError::message() const {
    switch (kind) {
        case ErrorKind::DimensionMismatch:
            return "dimension mismatch: expected " + std::to_string(first) + ", got " +
                   std::to_string(second) + " (" + context + ")";
        case ErrorKind::InsufficientSamples:
            return "insufficient samples: need at least " + std::to_string(first) + ", got " +
                   std::to_string(second) + " (" + context + ")";
        case ErrorKind::NumericalInstability:
            return std::string("numerical instability in ") + context + " (NaN or infinity)";
        case ErrorKind::InvalidConfig:
            return "invalid configuration: " + text;
        case ErrorKind::Io:
            return "io error: " + text;
        case ErrorKind::Serialization:
            return "serialization error: " + text;
        case ErrorKind::Cancelled:
            return "interrupted";
    }
    return text;
}

}  // namespace morvanta
