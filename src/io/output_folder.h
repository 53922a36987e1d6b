// The files of one output that a writer names itself: a GDAL driver writes "out.bil" and, beside
// it, "out.hdr" and "out.prj", each named from the path it was given. It is given a path in a
// private folder beside the final place, which holds whatever it makes; once it is done, every
// file it made takes its name beside the final one, all of them or none (OutputFile's commit),
// and the folder goes. A run that fails or is interrupted removes the folder and all it holds.
#pragma once

#include <string>

#include "base/file_name.h"

namespace terrapivoter {

class OutputFolder {
  public:
    // `name` is the output's main file. Fails (Failure) when the folder cannot be created.
    explicit OutputFolder(const FileName& name);
    OutputFolder(const OutputFolder&) = delete;
    OutputFolder& operator=(const OutputFolder&) = delete;
    ~OutputFolder();

    // Where the writer writes the main file: the folder, then the final name's last part.
    const std::string& writer_path() const { return inside_; }
    const std::string& displayed() const { return final_.shown; }
    // Where everything the writer makes goes until the commit.
    const std::string& folder() const { return folder_; }

    // Syncs every file the writer made and gives each its name beside the final one (a folder
    // it made moves whole), all together; fails, leaving every older file as it was, when one
    // cannot take its name or the writer made none.
    void commit();
    // Removes the folder and everything in it (nothing happens to the final names).
    void discard() noexcept;

  private:
    FileName final_;
    std::string folder_;
    std::string inside_;
    bool committed_ = false;
};

}  // namespace terrapivoter
