#include "BuildInfo.h"

namespace palvex {

const char* const kProgramName = "palvex";
const char* const kVersion = "1.2.1";
const char* const kCommitId = "d75a021c";
const char* const kBuildDate = "2024-07-10";

}  // namespace palvex
