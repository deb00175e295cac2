// The writer's file-system calls. A failure is an Os error whose message is
// the system's description of the error followed by " (os error N)"; it does
// not name the path.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "model/outcome.h"

namespace vornix::writer {

// Empty on success.
using IoStatus = std::optional<EngineError>;

// "No such file or directory (os error 2)".
std::string os_error_message(int err);

// dir/name; dir itself when name is empty, name itself when dir is empty.
std::string join_path(std::string_view dir, std::string_view name);

// dir/<family + 1><suffix>, joined as join_path joins, built in `path` (so
// that a loop over families reuses its memory) and returned.
const std::string& family_file_path(std::string& path, std::string_view dir, std::uint64_t family,
                                    std::string_view suffix);

// Creates path and every missing parent; an existing directory is fine.
IoStatus create_dir_all(const std::string& path);

// Creates or truncates path and writes data whole.
IoStatus write_file(const std::string& path, std::string_view data);

// A created-or-truncated file written through an 8192-byte buffer.
class BufferedFile {
public:
    static constexpr std::size_t kCapacity = 8192;

    BufferedFile() = default;
    BufferedFile(const BufferedFile&) = delete;
    BufferedFile& operator=(const BufferedFile&) = delete;
    ~BufferedFile();

    IoStatus open(const std::string& path);
    IoStatus write(std::string_view data);
    // Writes out what the buffer holds.
    IoStatus flush();

private:
    int fd_ = -1;
    std::string buf_;
};

}  // namespace vornix::writer
