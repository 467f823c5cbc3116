// Segment::save_to_disk and Segment::load_from_disk, and their in-memory counterparts
// Segment::encode and Segment::load_bytes.
//
// A save never leaves a half-written snapshot where a good one was: the bytes go to a new
// file in the target's directory, are forced to disk, and the file is renamed over the
// target. Targets that are not regular files (devices, FIFOs) are written in place, since
// they cannot be replaced by a rename.
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <variant>

#include "storage/file_calls.hpp"
#include "storage/segment.hpp"
#include "storage/snapshot.hpp"

namespace tarnwick {

FileCalls& file_calls() {
  static FileCalls calls{::write, ::fsync, ::rename};
  return calls;
}

namespace {

constexpr std::string_view CREATE_FAILED = "Failed to create snapshot file: ";
constexpr std::string_view ENCODE_FAILED = "Postcard binary serialization pipeline failure: ";
constexpr std::string_view WRITE_FAILED = "Failed to write serialized bytes to disk: ";
constexpr std::string_view OPEN_FAILED = "Failed to open snapshot file: ";
constexpr std::string_view READ_FAILED = "Failed to read snapshot file bytes: ";
constexpr std::string_view DECODE_FAILED =
    "Postcard binary deserialization pipeline failure (possible corruption): ";

constexpr std::string_view NUL_IN_PATH = "file name contained an unexpected NUL byte";
constexpr std::string_view OUT_OF_MEMORY = "out of memory";
constexpr std::string_view CANCELLED = "cancelled";
// How long a save waits before it opens a FIFO with no reader again.
constexpr std::chrono::milliseconds FIFO_RETRY{10};

// Snapshots shorter than this are reported as going through an 8 KiB write buffer, so a
// write that accepts nothing names the buffer's write-out.
constexpr std::size_t WRITE_BUFFER_BYTES = 8192;
constexpr std::size_t READ_CHUNK_BYTES = 8192;
// Bytes moved by one read or write call of a cancellable save or load: a cancel is seen
// within one such call.
constexpr std::size_t CANCEL_POLL_BYTES = std::size_t{4} << 20;

// Symbolic links followed before giving up, as the kernel does.
constexpr int MAX_LINK_HOPS = 40;
// Room left in a 255-byte file name for the temporary name's suffix.
constexpr std::size_t MAX_TEMP_STEM_BYTES = 200;
constexpr int MAX_TEMP_ATTEMPTS = 100;

using Reason = std::optional<std::string>;

std::string os_error(int error) {
  char buffer[256];
  const char* text = strerror_r(error, buffer, sizeof buffer);
  return std::string(text) + " (os error " + std::to_string(error) + ")";
}

std::string message(std::string_view prefix, std::string_view reason) {
  std::string text(prefix);
  text += reason;
  return text;
}

class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { reset(); }

  int get() const { return fd_; }
  bool is_open() const { return fd_ >= 0; }
  void adopt(int fd) {
    reset();
    fd_ = fd;
  }
  void reset() {
    if (fd_ >= 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  // Closes and reports the result; the descriptor is released either way.
  Reason close() {
    const int fd = std::exchange(fd_, -1);
    if (::close(fd) != 0) {
      return os_error(errno);
    }
    return std::nullopt;
  }

 private:
  int fd_ = -1;
};

Reason write_all(int fd, std::string_view bytes, const CancelToken* cancel) {
  const std::size_t total = bytes.size();
  const std::size_t most = cancel != nullptr ? CANCEL_POLL_BYTES : bytes.size();
  while (!bytes.empty()) {
    if (is_cancelled(cancel)) {
      return std::string(CANCELLED);
    }
    const ssize_t written = file_calls().write(fd, bytes.data(), std::min(bytes.size(), most));
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return os_error(errno);
    }
    if (written == 0) {
      return std::string(total < WRITE_BUFFER_BYTES ? "failed to write the buffered data"
                                                    : "failed to write whole buffer");
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return std::nullopt;
}

std::string unique_suffix() {
  static std::atomic<std::uint64_t> counter{0};
  std::uint64_t random = 0;
  // A failed draw leaves 0: the process id and counter still make the name unique here,
  // and O_EXCL catches any clash with another process.
  (void)getrandom(&random, sizeof random, GRND_NONBLOCK);
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(random));
  return ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + "-" + hex;
}

// Where a save puts its bytes: either the target itself (written in place) or a temporary
// file next to it that replaces it on commit. A target that was never committed leaves no
// temporary file behind.
class SaveTarget {
 public:
  SaveTarget() = default;
  SaveTarget(const SaveTarget&) = delete;
  SaveTarget& operator=(const SaveTarget&) = delete;
  ~SaveTarget() {
    file_.reset();
    if (!temp_path_.empty()) {
      ::unlink(temp_path_.c_str());
    }
  }

  // Prepares `path` for writing; the reason on failure.
  Reason open(const std::string& path, const CancelToken* cancel) {
    if (path.empty()) {
      return os_error(ENOENT);
    }
    struct stat status {};
    bool exists = false;
    if (Reason reason = resolve(path, status, exists)) {
      return reason;
    }
    if (exists && S_ISDIR(status.st_mode)) {
      return os_error(EISDIR);  // what opening a directory for writing reports
    }
    if (exists && !S_ISREG(status.st_mode)) {
      return open_in_place(cancel);
    }
    if (Reason reason = create_temp()) {
      return reason;
    }
    // A replaced file keeps its permissions; a new one gets 0666 less the umask.
    if (exists && ::fchmod(file_.get(), status.st_mode & 07777) != 0) {
      return os_error(errno);
    }
    return std::nullopt;
  }

  // Writes the snapshot and, for a temporary file, makes it durable and puts it in place
  // unless `cancel` stops it first.
  Reason commit(std::string_view bytes, CancelToken* cancel) {
    if (Reason reason = write_all(file_.get(), bytes, cancel)) {
      return reason;
    }
    if (temp_path_.empty()) {
      return file_.close();
    }
    if (file_calls().fsync(file_.get()) != 0) {
      return os_error(errno);
    }
    if (Reason reason = file_.close()) {
      return reason;
    }
    if (cancel != nullptr && !cancel->commit()) {
      return std::string(CANCELLED);
    }
    if (file_calls().rename(temp_path_.c_str(), target_.c_str()) != 0) {
      return os_error(errno);
    }
    temp_path_.clear();
    return sync_directory();
  }

 private:
  // Opens a target that is not a regular file (a device, a FIFO) to be written in place. A
  // FIFO with no reader yet is opened again every FIFO_RETRY until one comes or the save is
  // cancelled: a blocking open would wait where Ctrl-C cannot stop it.
  Reason open_in_place(const CancelToken* cancel) {
    for (;;) {
      file_.adopt(::open(target_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0666));
      if (file_.is_open()) {
        // Writes then wait for the reader as usual.
        const int flags = ::fcntl(file_.get(), F_GETFL);
        if (flags == -1 || ::fcntl(file_.get(), F_SETFL, flags & ~O_NONBLOCK) == -1) {
          return os_error(errno);
        }
        return std::nullopt;
      }
      if (errno != ENXIO && errno != EINTR) {
        return os_error(errno);
      }
      if (is_cancelled(cancel)) {
        return std::string(CANCELLED);
      }
      std::this_thread::sleep_for(FIFO_RETRY);
    }
  }

  // Follows symbolic links at the end of `path` so that the link itself stays and the
  // file it names is replaced. Sets `exists` and, when it exists, `status`.
  Reason resolve(const std::string& path, struct stat& status, bool& exists) {
    target_ = path;
    for (int hops = 0;; ++hops) {
      if (::lstat(target_.c_str(), &status) != 0) {
        if (errno != ENOENT) {
          return os_error(errno);
        }
        if (target_.back() == '/') {
          return os_error(EISDIR);  // a new file cannot be named with a trailing slash
        }
        exists = false;
        return std::nullopt;
      }
      if (!S_ISLNK(status.st_mode)) {
        exists = true;
        return std::nullopt;
      }
      if (hops == MAX_LINK_HOPS) {
        return os_error(ELOOP);
      }
      std::string link(PATH_MAX, '\0');
      const ssize_t length = ::readlink(target_.c_str(), link.data(), link.size());
      if (length < 0) {
        return os_error(errno);
      }
      if (static_cast<std::size_t>(length) == link.size()) {
        return os_error(ENAMETOOLONG);
      }
      link.resize(static_cast<std::size_t>(length));
      // A relative link is relative to the directory that holds it.
      target_ = link.front() == '/' ? link : directory_prefix() + link;
    }
  }

  // The target's directory with its trailing slash, or nothing for the current directory.
  std::string directory_prefix() const {
    const std::size_t slash = target_.rfind('/');
    return slash == std::string::npos ? std::string() : target_.substr(0, slash + 1);
  }

  Reason create_temp() {
    const std::string prefix = directory_prefix();
    const std::string stem = target_.substr(prefix.size()).substr(0, MAX_TEMP_STEM_BYTES);
    for (int attempt = 0; attempt < MAX_TEMP_ATTEMPTS; ++attempt) {
      std::string candidate = prefix + "." + stem + unique_suffix();
      const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd >= 0) {
        file_.adopt(fd);
        temp_path_ = std::move(candidate);
        return std::nullopt;
      }
      if (errno != EEXIST) {
        return os_error(errno);
      }
    }
    return os_error(EEXIST);
  }

  // Makes the rename itself durable.
  Reason sync_directory() {
    const std::string prefix = directory_prefix();
    const std::string directory = prefix.empty() ? "." : prefix;
    FileDescriptor handle(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!handle.is_open()) {
      return os_error(errno);
    }
    if (file_calls().fsync(handle.get()) != 0) {
      return os_error(errno);
    }
    return handle.close();
  }

  std::string target_;     // the file that ends up holding the snapshot
  std::string temp_path_;  // empty when writing in place or after the rename
  FileDescriptor file_;
};

// Reads the whole file, sized up front from its metadata.
Reason read_whole(int fd, std::string& bytes, const CancelToken* cancel) {
  struct stat status {};
  std::size_t expected = 0;
  if (::fstat(fd, &status) == 0) {
    const off_t position = ::lseek(fd, 0, SEEK_CUR);
    if (position >= 0 && status.st_size > position) {
      expected = static_cast<std::size_t>(status.st_size - position);
    }
  }
  try {
    bytes.resize(expected);
    std::size_t filled = 0;
    while (true) {
      if (is_cancelled(cancel)) {
        return std::string(CANCELLED);
      }
      ssize_t count = 0;
      if (filled < bytes.size()) {
        const std::size_t most = cancel != nullptr ? CANCEL_POLL_BYTES : bytes.size();
        count = ::read(fd, bytes.data() + filled, std::min(bytes.size() - filled, most));
      } else {
        // Full as expected: probe for more without doubling the buffer for nothing.
        char chunk[READ_CHUNK_BYTES];
        count = ::read(fd, chunk, sizeof chunk);
        if (count > 0) {
          bytes.append(chunk, static_cast<std::size_t>(count));
          filled += static_cast<std::size_t>(count);
          continue;
        }
      }
      if (count < 0) {
        if (errno == EINTR) {
          continue;
        }
        return os_error(errno);
      }
      if (count == 0) {
        bytes.resize(filled);
        return std::nullopt;
      }
      filled += static_cast<std::size_t>(count);
    }
  } catch (const std::bad_alloc&) {
    return std::string(OUT_OF_MEMORY);
  } catch (const std::length_error&) {
    return std::string(OUT_OF_MEMORY);
  }
}

// A store with a fixed dimension takes only snapshots whose vectors all have it.
Reason check_dimension(const PointTable& points, std::optional<std::size_t> dim) {
  if (!dim) {
    return std::nullopt;
  }
  for (Slot slot = 0; slot < points.slot_count(); ++slot) {
    if (points.has_point(slot) && points.vector(slot).size() != *dim) {
      return "a stored vector has " + std::to_string(points.vector(slot).size()) +
             " floats, the store expects " + std::to_string(*dim);
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> Segment::save_to_disk(const std::string& path,
                                                 CancelToken* cancel) const {
  if (path.find('\0') != std::string::npos) {
    return message(CREATE_FAILED, NUL_IN_PATH);
  }
  // Opened before the locks are taken: opening a FIFO waits for its reader, and writers
  // (and, behind them, readers) must not wait with it.
  SaveTarget target;
  if (Reason reason = target.open(path, cancel)) {
    return message(CREATE_FAILED, *reason);
  }
  // Both read locks from the encoding to the close: the file reflects one state of the
  // store. encode() cannot be used under them: a second read lock is never granted while a
  // writer waits.
  std::shared_lock points_guard(points_lock_);
  std::shared_lock index_guard(index_lock_);
  std::string bytes;
  try {
    bytes = encode_snapshot(points_, index_, cancel);
  } catch (const std::bad_alloc&) {
    return message(ENCODE_FAILED, OUT_OF_MEMORY);
  }
  if (is_cancelled(cancel)) {
    return message(ENCODE_FAILED, CANCELLED);
  }
  if (Reason reason = target.commit(bytes, cancel)) {
    return message(WRITE_FAILED, *reason);
  }
  return std::nullopt;
}

std::optional<std::string> Segment::load_from_disk(const std::string& path, CancelToken* cancel) {
  if (path.find('\0') != std::string::npos) {
    return message(OPEN_FAILED, NUL_IN_PATH);
  }
  // Open, read and decode without any store lock: the store serves other calls meanwhile.
  std::string bytes;
  {
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.is_open()) {
      return message(OPEN_FAILED, os_error(errno));
    }
    if (Reason reason = read_whole(file.get(), bytes, cancel)) {
      return message(READ_FAILED, *reason);
    }
  }
  if (Reason reason = load_bytes(bytes, cancel)) {
    return message(DECODE_FAILED, *reason);
  }
  return std::nullopt;
}

std::string Segment::encode() const {
  std::shared_lock points_guard(points_lock_);
  std::shared_lock index_guard(index_lock_);
  return encode_snapshot(points_, index_);
}

std::optional<std::string> Segment::load_bytes(std::string_view bytes, CancelToken* cancel) {
  std::variant<Snapshot, SnapshotDecodeError> decoded = SnapshotDecodeError::EndOfInput;
  try {
    decoded = decode_snapshot(bytes, cancel);
  } catch (const std::bad_alloc&) {
    return std::string(OUT_OF_MEMORY);
  }
  if (const auto* error = std::get_if<SnapshotDecodeError>(&decoded)) {
    return std::string(decode_error_text(*error));
  }

  // The point table and the graph share slot numbers, so both are replaced together.
  Snapshot& snapshot = std::get<Snapshot>(decoded);
  if (Reason reason = check_dimension(snapshot.points, dim_)) {
    return reason;
  }
  {
    std::unique_lock points_guard(points_lock_);
    std::unique_lock index_guard(index_lock_);
    // Settled under the locks: a cancel that comes while they are awaited still wins.
    if (cancel != nullptr && !cancel->commit()) {
      return std::string(CANCELLED);
    }
    std::swap(points_, snapshot.points);
    std::swap(index_, snapshot.index);
  }
  return std::nullopt;  // the old tables are freed here, after the locks are released
}

}  // namespace tarnwick
