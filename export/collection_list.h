// The inputs of a collection run: a list file of videos and frame folders,
// or a folder searched for videos, each with the output folder that
// mirrors its place in the collection.
#ifndef OF_ULK_COLLECTION_LIST_H
#define OF_ULK_COLLECTION_LIST_H

#include <string>
#include <vector>

namespace ulk::exporter {

struct CollectionItem {
    std::string input;  // a video file or a folder of frames
    std::string output; // its output folder, relative to the output root
};

// Whether one input names a collection rather than one video or frame
// folder: a list file (extension .txt or .list), or a folder that holds no
// frame images of its own.
bool isCollectionInput(const std::string& input);

// Reads a list file: one video or frame folder per line; blank lines and
// lines whose first non-blank character is '#' are skipped, blanks around
// a name are dropped, and relative names are taken from the list's folder.
// Returns false and sets error when the file cannot be read or lists
// nothing.
bool readCollectionList(const std::string& listFile,
                        std::vector<CollectionItem>& items, std::string& error);

// The videos under folder, in its subfolders too (hidden entries skipped),
// in name order of their paths (numbers compared by value). Returns false
// and sets error when the folder cannot be read or holds no video.
bool findCollectionVideos(const std::string& folder,
                          std::vector<CollectionItem>& items,
                          std::string& error);

// The items of a collection input: findCollectionVideos for a folder,
// readCollectionList for anything else. Returns false and sets error as
// they do.
bool listCollection(const std::string& input,
                    std::vector<CollectionItem>& items, std::string& error);

// Whether a file name has a video extension (.avi, .mp4, .mkv, .mov,
// .webm, .mpg, .mpeg, .m4v, .wmv, .flv; case-insensitive).
bool isVideoFileName(const std::string& name);

// The output folder, relative to the output root, of input at `relative`
// within the collection: the same path with a video's extension dropped
// (class/clip.avi gives class/clip). A path that leaves the collection
// ("..", or absolute) keeps only its last part.
std::string mirroredOutput(const std::string& relative, bool isVideo);

} // namespace ulk::exporter

#endif
