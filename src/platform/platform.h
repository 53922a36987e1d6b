// Everything that differs between operating systems lives behind these functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace terrapivoter {

namespace platform {

// Settles how the process reacts to the system: a file-size limit or a closed standard output
// must surface as an error to handle (EFBIG, EPIPE), not end the process with its temporary
// files left behind.
void prepare_process();

// The file that a displayed path ("c:\images\dem1\site.asc") names on this system. On POSIX
// each backslash becomes a slash and the path stays relative to the working directory; on
// Windows the path is used as it stands.
std::string host_path(const std::string& displayed);

// The words after the program's name, in UTF-8: on Windows read from the system's own UTF-16
// command line, so that a name in any script reaches the program whatever the code page.
std::vector<std::string> program_arguments(int argc, char** argv);

bool stdin_is_terminal();
bool stderr_is_terminal();

// Waits for one key press, unbuffered and unechoed, when standard input is a terminal;
// returns at once otherwise, so that scripted runs never hang.
void wait_for_key();

// Opens an existing file for reading; null when it cannot be opened.
std::FILE* open_for_reading(const std::string& host, bool text);

// Size in bytes of an open regular file; nothing for pipes and devices.
std::optional<uint64_t> regular_file_size(std::FILE* f);

// The bytes of an open regular file, mapped read-only into memory (and read in ahead), which
// spares copying a large text file into a buffer. Null when the file cannot be mapped (a pipe,
// an empty file, a system without mapping); the caller then reads it.
class MappedFile {
  public:
    // `read_ahead`: every page read and mapped at once (a file about to be read whole).
    static std::unique_ptr<MappedFile> map(std::FILE* f, bool read_ahead = true);
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    ~MappedFile();
    std::string_view bytes() const { return {static_cast<const char*>(base_), size_}; }

  private:
    MappedFile(void* base, std::size_t size) : base_(base), size_(size) {}
    void* base_;
    std::size_t size_;
};

// Reads up to `size` bytes at `offset` of an open file without moving its position, so that
// several threads can read one file; returns the count read, or -1 on an error (errno set).
int64_t read_at(std::FILE* f, uint64_t offset, void* buffer, std::size_t size);

// Writes `size` bytes at `offset` of an open file without moving its position (the stream
// flushed first by the caller), so that several threads can write parts of one file; false on
// an error (errno set).
bool write_at(std::FILE* f, uint64_t offset, const void* data, std::size_t size);

// Moves the position of `f` to `offset` bytes from its start; false on an error.
bool seek_to(std::FILE* f, uint64_t offset);

// Asks the system to start writing bytes [offset, offset + size) of `f` to the device, without
// waiting, for writers that write by offset (write_at); a no-op where there is no such call.
void start_writing_range_out(std::FILE* f, uint64_t offset, uint64_t size);

// Reads up to `size` bytes from the current position; returns the count read (0 at the end of
// the file), or -1 on an error (errno set).
int64_t read_some(std::FILE* f, void* buffer, std::size_t size);

// Creates a new file that did not exist (never opens an existing one) for writing, and for
// reading too when `readable`. Returns null and sets errno on failure.
std::FILE* create_new_file(const std::string& host, bool text, bool readable = false);

// Writes all `size` bytes; false on an error (errno set).
bool write_all(std::FILE* f, const void* data, std::size_t size);

// Pushes an open file's data to the storage device.
bool sync_to_disk(std::FILE* f);

// Asks the system to start writing bytes [offset, offset + size) of an open file, flushed
// first, to the device without waiting for them, so that a later sync_to_disk has less left
// to wait for. Only a hint: does nothing where the system has no such request.
void start_writing_out(std::FILE* f, uint64_t offset, uint64_t size);

// The same for a closed file, by its path.
bool sync_file(const std::string& host);

// Replaces `to` by `from` in one step where the system allows it.
bool replace_file(const std::string& from, const std::string& to);

// Gives the existing file `from` a second name `to` (a hard link); false where the file system
// cannot, or `to` exists.
bool link_file(const std::string& from, const std::string& to);

bool file_exists(const std::string& host);

// The file a path names in the end: the path itself, or, when it is a symbolic link, what the
// link points to (a link to a link followed in turn, a relative target taken from the link's
// folder). A link that points nowhere gives the path it points to, to be created.
std::string link_target(const std::string& host);

// Gives `to` the permission bits of `from`, when `from` exists; false when it cannot.
bool copy_permissions(const std::string& from, const std::string& to);

bool remove_file(const std::string& host);

// Creates a new folder that did not exist, open to this user only; false with errno set
// otherwise (EEXIST when something has that name).
bool create_new_folder(const std::string& host);

// The names of what a folder holds ("." and ".." aside); nothing when it cannot be read.
std::optional<std::vector<std::string>> folder_entries(const std::string& host);

// Removes a folder and everything in it, as deep as it goes; false when something stays.
bool remove_tree(const std::string& host);

// Identifies this process in temporary file names.
unsigned long process_id();

// Identifies this user (0 where the system has no such number).
unsigned long user_id();

// Cuts an open file, flushed first, to `size` bytes; false on an error.
bool truncate_at(std::FILE* f, uint64_t size);

// Whether a process of that number runs (when the system cannot tell, as if it did).
bool process_exists(unsigned long id);

// The folder that holds the running program's file; empty when the system does not say.
std::string program_folder();

// How the file of a shared module that the build makes ends: "terrapivoter-gdal.so".
#if defined(_WIN32)
inline constexpr const char* kModuleSuffix = ".dll";
#else
inline constexpr const char* kModuleSuffix = ".so";
#endif

// Loads the shared module at `path` (once: later calls find it loaded) and returns the address
// of its symbol `entry`; null, with `error` set to the system's reason, when either fails.
void* load_module(const std::string& path, const char* entry, std::string& error);

// Grids of at least this many bytes have their memory prepared (PreparedGridMemory) and handed
// back when released (return_free_memory): below it, a few huge pages gain nothing.
inline constexpr std::size_t kLargeGridBytes = std::size_t{8} << 20;

// While one lives, a grid's rows are cut from memory already mapped, on huge pages where the
// system offers them (Linux's transparent huge pages in "madvise" mode: one fault maps 2 MB
// instead of 4 kB; a 4 kB fault costs up to 13 microseconds on a virtual machine, 40% of a
// whole run). A block of `bytes`, as much as the rows will take, is taken from the heap, asked
// for huge pages, faulted in by `fault_in` (on every core), and handed back to the heap, which
// keeps it; the rows allocated next come from it. Elsewhere, or when the block cannot be had,
// nothing happens and the rows fault their pages in as they are first used.
class PreparedGridMemory {
  public:
    PreparedGridMemory(std::size_t bytes,
                       const std::function<void(char* block, std::size_t bytes)>& fault_in);
    ~PreparedGridMemory();
    PreparedGridMemory(const PreparedGridMemory&) = delete;
    PreparedGridMemory& operator=(const PreparedGridMemory&) = delete;
};

// One large buffer, not cleared, its pages mapped as they are first written (on huge pages
// where the system offers them, as for PreparedGridMemory: the threads that first write the
// buffer then fault it in 2 MB at a time, each its own part). data() is null when the memory
// cannot be had.
class LargeBlock {
  public:
    explicit LargeBlock(std::size_t bytes);
    ~LargeBlock();
    LargeBlock(const LargeBlock&) = delete;
    LargeBlock& operator=(const LargeBlock&) = delete;
    void* data() const { return data_; }

  private:
    void* data_ = nullptr;
    void* base_ = nullptr;    // the mapping's start, when it is a mapping of its own
    std::size_t mapped_ = 0;  // and its length
};

// Hands the heap's free memory back to the system once `released` bytes of grid rows have
// been freed, when they are many: glibc does so on its own only from the top of the heap, and
// rows cut from a prepared block may lie below smaller blocks still in use.
void return_free_memory(std::size_t released);

// The usable bytes of a block the heap gave out.
std::size_t heap_block_bytes(void* block);

// Bytes of physical memory, or nothing when the system does not say.
std::optional<uint64_t> physical_memory();

// Bytes of memory that new allocations can have now without the system swapping or killing
// (Linux's MemAvailable), or nothing when the system does not say.
std::optional<uint64_t> available_memory();

// Opens (creating it, readable and writable by this user only, when it is not there) a small
// file that several runs of the program share, and holds an exclusive lock on it while the
// returned stream is open; null when it cannot.
std::FILE* open_locked_shared_file(const std::string& host);

// A folder for files that this user's runs share while the machine runs ($XDG_RUNTIME_DIR,
// else the system's temporary folder).
std::string shared_run_folder();

// Text of the last system error (errno).
std::string last_error_text();

// Temporary files registered here are removed if the process is interrupted (SIGINT,
// SIGTERM, SIGHUP, or Ctrl+C on Windows) before they are unregistered; the process then ends
// with the interrupting signal's usual status.
void remove_on_interrupt(const std::string& host);
void forget_on_interrupt(const std::string& host);
// The same for a folder and everything a writer put in it (a folder of the program's own).
void remove_folder_on_interrupt(const std::string& host);

// Holds SIGINT, SIGTERM and SIGHUP back while it lives (they arrive when it ends), so that a
// few renames that belong together are never cut in two.
class InterruptsHeld {
  public:
    InterruptsHeld();
    ~InterruptsHeld();
    InterruptsHeld(const InterruptsHeld&) = delete;
    InterruptsHeld& operator=(const InterruptsHeld&) = delete;

  private:
    alignas(16) unsigned char saved_[256];  // the signal mask to restore
};

// The calls through which a test can make the system fail, in process: no root, full disk or
// broken device needed to reach the error paths.
enum class Call { create, write, sync, rename, read };

namespace faults {
// Makes `call` fail with `error` (an errno value) once, after `successes` more calls of it
// have succeeded.
void fail_next(Call call, int error, unsigned successes = 0);
// Disarms every pending failure.
void clear();
}  // namespace faults

}  // namespace platform

}  // namespace terrapivoter
