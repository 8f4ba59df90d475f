// Draining libjxl's encoder output and delivering it.
#include "encoder_output.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <limits>
#include <random>

#include "input.h"
#include "status.h"

namespace kp {

uint64_t grown_outbuf_capacity(uint64_t capacity) {
  if (capacity == 0) return kMinOutbufCapacity;
  return capacity + std::min(capacity, kMaxOutbufGrowth);
}

uint64_t first_outbuf_capacity(uint64_t frame_nbytes, bool lossless) {
  uint64_t capacity = lossless ? frame_nbytes / 4 : frame_nbytes / 16;
  capacity = (capacity + 65535) & ~uint64_t{65535};
  return std::max(capacity, kMinOutbufCapacity);
}

int classify_destination(PyObject* dest, DestKind* kind) {
  if (dest == Py_None) {
    *kind = DestKind::kNone;
    return 0;
  }
  const int path = is_path_like(dest);
  if (path < 0) return -1;
  if (path) {
    *kind = DestKind::kPath;
    return 0;
  }
  Ref write = Ref::steal(PyObject_GetAttrString(dest, "write"));
  if (write) {
    *kind = DestKind::kFile;
    return 0;
  }
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
  PyErr_Clear();
  PyErr_Format(PyExc_TypeError, "dest must be path, file-like, or None; got %S",
               reinterpret_cast<PyObject*>(Py_TYPE(dest)));
  return -1;
}

int write_all(PyObject* dest, PyObject* payload, Py_ssize_t* done) {
  const Py_ssize_t total = PyBytes_GET_SIZE(payload);
  *done = 0;
  Ref chunk = Ref::borrow(payload);
  Ref view;
  for (;;) {
    Ref written = call_method(dest, "write", chunk.get());
    if (!written) return -1;
    // None: a writer that does not count (as many hand-written ones do)
    // took everything. Anything else but an int says nothing we can trust.
    if (written.get() == Py_None) {
      *done = total;
      return 0;
    }
    if (!PyLong_Check(written.get()) || PyBool_Check(written.get())) {
      PyErr_Format(PyExc_TypeError,
                   "jxl: destination write() returned %.200s, expected the number of bytes "
                   "written (an int) or None",
                   Py_TYPE(written.get())->tp_name);
      return -1;
    }
    const Py_ssize_t n = PyLong_AsSsize_t(written.get());
    if (n == -1 && PyErr_Occurred()) return -1;
    const Py_ssize_t remaining = total - *done;
    if (n == remaining) {
      *done = total;
      return 0;
    }
    if (n < 0 || n > remaining) {
      PyErr_Format(PyExc_OSError,
                   "jxl: destination write() returned invalid length %zd "
                   "(should have been between 0 and %zd)",
                   n, remaining);
      return -1;
    }
    if (n == 0) {
      // Offering the same bytes again could go on for ever.
      PyErr_Format(PyExc_OSError, "jxl: destination write() accepted none of %zd bytes",
                   remaining);
      return -1;
    }
    *done += n;
    if (!view) view = Ref::steal(PyMemoryView_FromObject(payload));
    if (!view) return -1;
    chunk = Ref::steal(PySequence_GetSlice(view.get(), *done, total));
    if (!chunk) return -1;
  }
}

int EncoderOutput::reserve(uint64_t capacity) {
  if (buf_ && capacity_ >= capacity) return 0;
  if (capacity > SIZE_MAX || !buf_.resize(static_cast<size_t>(capacity))) {
    PyErr_SetString(PyExc_MemoryError, "jxl: failed to allocate output buffer");
    return -1;
  }
  capacity_ = capacity;
  return 0;
}

EncoderOutput::Drained EncoderOutput::drain_nogil(JxlEncoder* enc,
                                                  JxlEncoderStatus* status) noexcept {
  for (;;) {
    uint8_t* next_out = buf_.get() + used_;
    size_t avail_out = capacity_ - used_;
    *status = JxlEncoderProcessOutput(enc, &next_out, &avail_out);
    used_ = capacity_ - avail_out;
    if (*status == JXL_ENC_SUCCESS) return Drained::kDone;
    if (*status != JXL_ENC_NEED_MORE_OUTPUT) return Drained::kFailed;
    const uint64_t grown = grown_outbuf_capacity(capacity_);
    if (!buf_.resize(grown)) return Drained::kOutOfMemory;
    capacity_ = grown;
  }
}

int EncoderOutput::drain(JxlEncoder* enc) {
  JxlEncoderStatus status = JXL_ENC_SUCCESS;
  const Drained drained = without_gil([&] { return drain_nogil(enc, &status); });
  switch (drained) {
    case Drained::kDone:
      return 0;
    case Drained::kOutOfMemory:
      PyErr_SetString(PyExc_MemoryError, "jxl: failed to grow output buffer");
      return -1;
    case Drained::kFailed:
      break;
  }
  return raise_enc("JxlEncoderProcessOutput", status, JxlEncoderGetError(enc)), -1;
}

Ref EncoderOutput::bytes() const {
  return Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(buf_.get()),
                                              static_cast<Py_ssize_t>(used_)));
}

int EncoderOutput::write_to(PyObject* dest) {
  if (used_ == 0) return 0;
  Ref payload = Ref::steal(PyBytes_FromStringAndSize(
      reinterpret_cast<const char*>(buf_.get() + written_),
      static_cast<Py_ssize_t>(used_ - written_)));
  if (!payload) return -1;
  Py_ssize_t done = 0;
  const int rc = write_all(dest, payload.get(), &done);
  written_ += static_cast<uint64_t>(done);
  if (rc < 0) return -1;
  used_ = 0;
  written_ = 0;
  return 0;
}

PyObject* deliver(PyObject* dest, DestKind kind, const uint8_t* data, size_t size) {
  Ref payload = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data),
                                                     static_cast<Py_ssize_t>(size)));
  if (!payload) return nullptr;
  if (kind == DestKind::kNone) return payload.release();
  Py_ssize_t done = 0;
  if (kind == DestKind::kFile) {
    if (write_all(dest, payload.get(), &done) < 0) return nullptr;
    Py_RETURN_NONE;
  }
  AtomicFile file;
  if (file.prepare(dest) < 0 || file.create() < 0 || file.write(data, size) < 0 ||
      file.commit() < 0)
    return nullptr;
  Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// AtomicFile

namespace {

std::string dirname_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

int AtomicFile::raise_errno(int err, PyObject* filename) {
  errno = err;
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
  return -1;
}

int AtomicFile::prepare(PyObject* path) {
  reset();
  PyObject* encoded = nullptr;
  if (!PyUnicode_FSConverter(path, &encoded)) return -1;
  Ref holder = Ref::steal(encoded);
  target_.assign(PyBytes_AS_STRING(encoded), static_cast<size_t>(PyBytes_GET_SIZE(encoded)));
  // A link is followed, as opening the path would follow it: the file it
  // names is the one replaced.
  char resolved[PATH_MAX];
  struct stat st;
  if (lstat(target_.c_str(), &st) == 0 && S_ISLNK(st.st_mode) &&
      realpath(target_.c_str(), resolved))
    target_ = resolved;
  if (stat(target_.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return raise_errno(EISDIR, path);
    had_mode_ = true;
    mode_ = st.st_mode & 07777;
  }
  const std::string dir = dirname_of(target_);
  if (stat(dir.c_str(), &st) != 0) return raise_errno(errno, path);
  if (!S_ISDIR(st.st_mode)) return raise_errno(ENOTDIR, path);
  if (access(dir.c_str(), W_OK | X_OK) != 0) return raise_errno(errno, path);
  path_ = Ref::borrow(path);
  return 0;
}

int AtomicFile::create() {
  discard();
  const std::string dir = dirname_of(target_);
  const size_t slash = target_.rfind('/');
  const std::string base = slash == std::string::npos ? target_ : target_.substr(slash + 1);
  std::random_device seed;
  std::mt19937_64 random(seed());
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".%016llx.tmp",
                  static_cast<unsigned long long>(random()));
    std::string name = dir + "/." + base.substr(0, 200) + suffix;
    // 0666 as open() would create it (less the umask), or the replaced
    // file's own permissions.
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return raise_errno(errno, path_.get());
    }
    if (had_mode_) (void)fchmod(fd, mode_);
    fd_ = fd;
    temp_ = std::move(name);
    errno_ = 0;
    return 0;
  }
  return raise_errno(EEXIST, path_.get());
}

bool AtomicFile::write_nogil(const uint8_t* data, size_t size) noexcept {
  while (size > 0) {
    const ssize_t n = ::write(fd_, data, std::min<size_t>(size, size_t{1} << 30));
    if (n < 0) {
      if (errno == EINTR) continue;
      errno_ = errno;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool AtomicFile::seek_nogil(uint64_t position) noexcept {
  if (position > static_cast<uint64_t>(std::numeric_limits<off_t>::max()) ||
      lseek(fd_, static_cast<off_t>(position), SEEK_SET) < 0) {
    errno_ = position > static_cast<uint64_t>(std::numeric_limits<off_t>::max()) ? EOVERFLOW
                                                                                 : errno;
    return false;
  }
  return true;
}

int AtomicFile::write(const uint8_t* data, size_t size) {
  const bool ok = without_gil([&] { return write_nogil(data, size); });
  return ok ? 0 : raise_error();
}

int AtomicFile::raise_error() {
  const int err = errno_ ? errno_ : EIO;
  discard();
  return raise_errno(err, path_.get());
}

int AtomicFile::commit() {
  const int fd = std::exchange(fd_, -1);
  int err = 0;
  if (::close(fd) != 0 && errno != EINTR) err = errno;
  if (!err && rename(temp_.c_str(), target_.c_str()) != 0) err = errno;
  if (err) {
    unlink(temp_.c_str());
    temp_.clear();
    return raise_errno(err, path_.get());
  }
  temp_.clear();
  return 0;
}

void AtomicFile::discard() noexcept {
  if (fd_ >= 0) ::close(std::exchange(fd_, -1));
  if (!temp_.empty()) unlink(temp_.c_str());
  temp_.clear();
}

void AtomicFile::reset() noexcept {
  discard();
  path_.clear();
  target_.clear();
  had_mode_ = false;
}

void EncoderOutput::reset() noexcept {
  buf_.reset();
  capacity_ = 0;
  used_ = 0;
  written_ = 0;
}

}  // namespace kp
