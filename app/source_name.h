// The file name that of_ulk opens: the name as given, or its lower-cased
// form where only that one exists.
#ifndef OF_ULK_SOURCE_NAME_H
#define OF_ULK_SOURCE_NAME_H

#include <string>

namespace ulk::viewer {

// text with A to Z turned into a to z; every other byte unchanged.
std::string asciiLowerCase(const std::string& text);

// Position of the first ".avi" in name, in any mix of cases, or npos.
std::size_t findAviExtension(const std::string& name);

// The name to open for a file named `given` on the command line: `given`
// itself when something exists under that name, otherwise its lower-cased
// form (so that CLIP.AVI finds clip.avi). A name that exists in neither
// form comes back lower-cased; the open then fails and reports it.
std::string openableSourceName(const std::string& given);

} // namespace ulk::viewer

#endif
