// Output files that appear under their final name only when they are
// complete: the bytes go to a temporary file in the same folder, which is
// renamed into place at the end. A run that is killed or fails leaves either
// the earlier file or the new one, never a part of one.
#ifndef OF_ULK_ATOMIC_FILE_H
#define OF_ULK_ATOMIC_FILE_H

#include <functional>
#include <string>
#include <vector>

namespace ulk::exporter {

// The temporary name that the bytes of target are written to: a hidden file
// beside it that names the writing process, e.g. out/.flow_000012.flo.4711.part
// for out/flow_000012.flo.
std::string temporaryFileName(const std::string& target);

// Whether a file name (without folder) has the form of temporaryFileName's
// names, e.g. for a folder listing that must skip them.
bool isTemporaryFileName(const std::string& name);

// Writes target through write, which is given the temporary name and returns
// whether it wrote the whole file there. When it did, the temporary file
// replaces target (an existing target is replaced in one step). Otherwise,
// or when the rename fails, the temporary file is removed, target is left as
// it was, error says what failed and the result is false.
bool writeFileAtomically(const std::string& target,
                         const std::function<bool(const std::string&)>& write,
                         std::string& error);

// Writes bytes to path (not atomically). Returns whether all of them
// reached the file; errno tells why not.
bool writeWholeFile(const std::string& path,
                    const std::vector<unsigned char>& bytes);

// writeFileAtomically for a block of bytes already in memory.
bool writeBytesAtomically(const std::string& target,
                          const std::vector<unsigned char>& bytes,
                          std::string& error);

} // namespace ulk::exporter

#endif
