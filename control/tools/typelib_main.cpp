// talvenor-typelib: prints the control's type library, or with --markdown its reference page.
#include <cstdio>
#include <cstring>

#include "control/dispatch.h"

int main(int argc, char** argv) {
  const bool markdown = argc > 1 && std::strcmp(argv[1], "--markdown") == 0;
  std::fputs(markdown ? control::ReferenceMarkdown().c_str() : control::TypeLibraryText().c_str(), stdout);
  return 0;
}
