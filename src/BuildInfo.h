// The build identity compiled into the program.
#pragma once

namespace palvex {

extern const char* const kProgramName;
extern const char* const kVersion;
extern const char* const kCommitId;
extern const char* const kBuildDate;

}  // namespace palvex
