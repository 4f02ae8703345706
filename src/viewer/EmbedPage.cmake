# Writes the report page's template, style and script into a C++ source file, so the
# program carries its page and writes self-contained reports.
#   cmake -DHTML=... -DCSS=... -DJS=... -DOUTPUT=... -P EmbedPage.cmake
file(READ "${HTML}" html)
file(READ "${CSS}" css)
file(READ "${JS}" js)
foreach(part html css js)
  string(FIND "${${part}}" ")RAVEL_PAGE\"" clash)
  if(NOT clash EQUAL -1)
    message(FATAL_ERROR "${part} holds the raw string's end marker")
  endif()
endforeach()
file(WRITE "${OUTPUT}.tmp" "// Made by EmbedPage.cmake from src/viewer/page.
#include \"viewer/PageAssets.h\"

namespace viewer {
const char* const PageTemplate = R\"RAVEL_PAGE(${html})RAVEL_PAGE\";
const char* const PageStyle = R\"RAVEL_PAGE(${css})RAVEL_PAGE\";
const char* const PageScript = R\"RAVEL_PAGE(${js})RAVEL_PAGE\";
} // namespace viewer
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
