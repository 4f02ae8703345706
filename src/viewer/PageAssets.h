#pragma once
// The report page's parts, built into the program from src/viewer/page: the HTML
// template with the places @TITLE@, @STYLE@, @SCRIPT@ and @DATA@, its style and script.
namespace viewer {
extern const char* const PageTemplate;
extern const char* const PageStyle;
extern const char* const PageScript;
} // namespace viewer
