#include "audio/output_names.h"

namespace taln::OutputNames {

namespace {

// Where the last extension starts; npos for none (a leading dot starts a hidden name).
std::size_t extensionStart(const std::string& fileName) {
    const std::size_t dot = fileName.rfind('.');
    return dot == std::string::npos || dot == 0 ? std::string::npos : dot;
}

} // namespace

std::string extensionOf(AudioExporter::Kind kind) {
    switch (kind) {
    case AudioExporter::Kind::wav:
        return "wav";
    case AudioExporter::Kind::flac:
        return "flac";
    case AudioExporter::Kind::m4a:
        break;
    }
    return "m4a";
}

std::string cleanedAudioName(const std::string& fileName, AudioExporter::Kind kind) {
    const std::string base =
        fileName.empty() ? std::string("Audio") : fileName.substr(0, extensionStart(fileName));
    return base + " (Taln)." + extensionOf(kind);
}

std::string cleanedVideoName(const std::string& fileName) {
    const std::size_t dot = extensionStart(fileName);
    if (dot == std::string::npos) {
        return fileName + " (Taln)";
    }
    return fileName.substr(0, dot) + " (Taln)" + fileName.substr(dot);
}

AudioExporter::Kind kindOf(Format format) {
    switch (format) {
    case Format::wav:
        return AudioExporter::Kind::wav;
    case Format::flac:
        return AudioExporter::Kind::flac;
    case Format::m4a:
    case Format::video:
        break;
    }
    return AudioExporter::Kind::m4a;
}

std::string cleanedName(const std::string& fileName, Format format) {
    return format == Format::video ? cleanedVideoName(fileName)
                                   : cleanedAudioName(fileName, kindOf(format));
}

} // namespace taln::OutputNames
