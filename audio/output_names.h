#pragma once

// OutputNames: what a cleaned file is called, one rule for the window's save panel and for
// taln-clean's batch form: the source's name without its last extension, " (Taln)", and the
// extension of what is written ("memo.m4a" cleaned to WAV is "memo (Taln).wav"; a video keeps
// its own container: "talk.mov" -> "talk (Taln).mov").

#include "audio/audio_exporter.h"

#include <string>

namespace taln::OutputNames {

// What a cleaned file is written as (the window's batch and taln-clean's --format): one of the
// audio kinds, or a video in its source's container.
enum class Format { wav, flac, m4a, video };

// The writer of each format (a video's sound is M4A's).
AudioExporter::Kind kindOf(Format format);

// The name of `fileName` (a name, not a path) cleaned as `format`: cleanedVideoName for a
// video, cleanedAudioName otherwise.
std::string cleanedName(const std::string& fileName, Format format);

// The extension a file of `kind` is written with, without the dot: "wav", "flac", "m4a".
std::string extensionOf(AudioExporter::Kind kind);

// `fileName` (a name, not a path) without its last extension (a leading dot starts a hidden
// name, not an extension), then " (Taln)." and `kind`'s extension; "Audio" stands in for an
// empty name.
std::string cleanedAudioName(const std::string& fileName, AudioExporter::Kind kind);

// `fileName` without its last extension, then " (Taln)" and `fileName`'s own extension.
std::string cleanedVideoName(const std::string& fileName);

} // namespace taln::OutputNames
