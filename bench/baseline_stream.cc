// The raw-libjxl side of the larger-than-memory benchmarks, linked into the
// baseline program:
//
//   baseline stream-encode RAW OUT --xsize X --ysize Y [--channels C]
//                          [--lossless | --distance D] [--effort E] [--threads N]
//       RAW holds Y*X*C uint8 samples, row by row (what np.memmap writes);
//       it is mapped, libjxl's chunked frame input reads rectangles straight
//       from the mapping, and its output processor writes OUT (seeking back
//       where libjxl asks).
//   baseline stream-decode IN [--threads N]
//       IN is mapped and decoded through the multithreaded image-out
//       callback, which discards the rows.
//
// Output: one JSON object, e.g. {"workload": "stream-encode", "seconds":
// 0.38, "maxrss_kib": 204000, "peak_anon_kib": 21000}. peak_anon_kib is
// /proc/self/status RssAnon sampled every 10 ms: the pages of a mapped file
// are the page cache's, not the program's.
#include <fcntl.h>
#include <jxl/decode.h>
#include <jxl/decode_cxx.h>
#include <jxl/encode.h>
#include <jxl/encode_cxx.h>
#include <jxl/thread_parallel_runner.h>
#include <jxl/thread_parallel_runner_cxx.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

long rss_anon_kib() {
  FILE* f = std::fopen("/proc/self/status", "r");
  if (!f) return 0;
  char line[256];
  long kib = 0;
  while (std::fgets(line, sizeof line, f))
    if (std::strncmp(line, "RssAnon:", 8) == 0) kib = std::atol(line + 8);
  std::fclose(f);
  return kib;
}

// Samples RssAnon until destroyed.
class AnonPeak {
 public:
  AnonPeak() : thread_([this] {
    while (!stop_) {
      peak_ = std::max(peak_.load(), rss_anon_kib());
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }) {}
  ~AnonPeak() { stop_ = true; thread_.join(); }
  long peak() const { return std::max(peak_.load(), rss_anon_kib()); }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<long> peak_{0};
  std::thread thread_;
};

struct Mapped {
  explicit Mapped(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) throw std::runtime_error("cannot open " + path);
    size = static_cast<size_t>(st.st_size);
    data = static_cast<const uint8_t*>(mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0));
    close(fd);
    if (data == MAP_FAILED) throw std::runtime_error("cannot map " + path);
  }
  ~Mapped() { munmap(const_cast<uint8_t*>(data), size); }
  const uint8_t* data;
  size_t size;
};

struct Input {
  const uint8_t* data;
  size_t xsize, channels;
  JxlPixelFormat format;
};

struct Output {
  int fd;
  std::vector<uint8_t> buf;
};

void check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(what);
}

void report(const char* workload, double seconds, const AnonPeak& anon) {
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  std::printf("{\"workload\": \"%s\", \"seconds\": %.6f, \"maxrss_kib\": %ld, "
              "\"peak_anon_kib\": %ld}\n", workload, seconds, ru.ru_maxrss, anon.peak());
}

void stream_encode(const std::vector<std::string>& files, size_t xsize, size_t ysize,
                   size_t channels, bool lossless, float distance, int effort,
                   JxlParallelRunner runner, void* runner_opaque) {
  AnonPeak anon;
  const auto t0 = std::chrono::steady_clock::now();
  Mapped raw(files.at(0));
  check(raw.size == xsize * ysize * channels, "RAW has the wrong size");
  Output out{open(files.at(1).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666), {}};
  check(out.fd >= 0, "cannot create OUT");
  JxlEncoderPtr enc = JxlEncoderMake(nullptr);
  if (runner) check(JxlEncoderSetParallelRunner(enc.get(), runner, runner_opaque) == 0, "runner");
  JxlBasicInfo info;
  JxlEncoderInitBasicInfo(&info);
  info.xsize = static_cast<uint32_t>(xsize);
  info.ysize = static_cast<uint32_t>(ysize);
  info.bits_per_sample = 8;
  info.num_color_channels = channels < 3 ? 1 : 3;
  info.num_extra_channels = channels % 2 == 0 ? 1 : 0;
  info.alpha_bits = info.num_extra_channels ? 8 : 0;
  info.uses_original_profile = lossless ? JXL_TRUE : JXL_FALSE;
  check(JxlEncoderSetBasicInfo(enc.get(), &info) == JXL_ENC_SUCCESS, "basic info");
  JxlColorEncoding color;
  JxlColorEncodingSetToSRGB(&color, channels < 3 ? JXL_TRUE : JXL_FALSE);
  check(JxlEncoderSetColorEncoding(enc.get(), &color) == JXL_ENC_SUCCESS, "colour");
  JxlEncoderFrameSettings* fs = JxlEncoderFrameSettingsCreate(enc.get(), nullptr);
  if (lossless) JxlEncoderSetFrameLossless(fs, JXL_TRUE);
  else JxlEncoderSetFrameDistance(fs, distance);
  JxlEncoderFrameSettingsSetOption(fs, JXL_ENC_FRAME_SETTING_EFFORT, effort);

  JxlEncoderOutputProcessor processor = {
      &out,
      [](void* o, size_t* size) -> void* {
        auto* self = static_cast<Output*>(o);
        self->buf.resize(std::max<size_t>(*size, 65536));
        *size = self->buf.size();
        return self->buf.data();
      },
      [](void* o, size_t written) {
        auto* self = static_cast<Output*>(o);
        if (write(self->fd, self->buf.data(), written) != static_cast<ssize_t>(written))
          std::abort();
      },
      [](void* o, uint64_t position) {
        lseek(static_cast<Output*>(o)->fd, static_cast<off_t>(position), SEEK_SET);
      },
      [](void*, uint64_t) {}};
  check(JxlEncoderSetOutputProcessor(enc.get(), processor) == JXL_ENC_SUCCESS, "processor");
  Input in{raw.data, xsize, channels, {static_cast<uint32_t>(channels), JXL_TYPE_UINT8,
                                       JXL_NATIVE_ENDIAN, 0}};
  JxlChunkedFrameInputSource source = {
      &in,
      [](void* o, JxlPixelFormat* pf) { *pf = static_cast<Input*>(o)->format; },
      [](void* o, size_t x, size_t y, size_t, size_t, size_t* row_offset) -> const void* {
        auto* self = static_cast<Input*>(o);
        *row_offset = self->xsize * self->channels;
        return self->data + y * *row_offset + x * self->channels;
      },
      [](void*, size_t, JxlPixelFormat*) {},
      [](void*, size_t, size_t, size_t, size_t, size_t, size_t*) -> const void* {
        return nullptr;
      },
      [](void*, const void*) {}};
  check(JxlEncoderAddChunkedFrame(fs, JXL_TRUE, source) == JXL_ENC_SUCCESS, "chunked frame");
  JxlEncoderCloseInput(enc.get());
  check(JxlEncoderFlushInput(enc.get()) == JXL_ENC_SUCCESS, "flush");
  close(out.fd);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  report("stream-encode", seconds, anon);
}

void stream_decode(const std::vector<std::string>& files, JxlParallelRunner runner,
                   void* runner_opaque) {
  AnonPeak anon;
  const auto t0 = std::chrono::steady_clock::now();
  Mapped in(files.at(0));
  JxlDecoderPtr dec = JxlDecoderMake(nullptr);
  if (runner) check(JxlDecoderSetParallelRunner(dec.get(), runner, runner_opaque) == 0, "runner");
  check(JxlDecoderSubscribeEvents(dec.get(), JXL_DEC_BASIC_INFO | JXL_DEC_FULL_IMAGE) == 0,
        "events");
  JxlDecoderSetInput(dec.get(), in.data, in.size);
  JxlDecoderCloseInput(dec.get());
  JxlPixelFormat format = {3, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
  std::atomic<uint64_t> pixels{0};
  for (;;) {
    const JxlDecoderStatus status = JxlDecoderProcessInput(dec.get());
    if (status == JXL_DEC_BASIC_INFO) {
      JxlBasicInfo info;
      JxlDecoderGetBasicInfo(dec.get(), &info);
      format.num_channels = info.num_color_channels + (info.alpha_bits ? 1 : 0);
    } else if (status == JXL_DEC_NEED_IMAGE_OUT_BUFFER) {
      check(JxlDecoderSetMultithreadedImageOutCallback(
                dec.get(), &format, [](void* o, size_t, size_t) { return o; },
                [](void* o, size_t, size_t, size_t, size_t n, const void*) {
                  static_cast<std::atomic<uint64_t>*>(o)->fetch_add(n);
                },
                [](void*) {}, &pixels) == JXL_DEC_SUCCESS,
            "image-out callback");
    } else if (status == JXL_DEC_SUCCESS) {
      break;
    } else if (status != JXL_DEC_FULL_IMAGE) {
      throw std::runtime_error("decode failed");
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  report("stream-decode", seconds, anon);
}

}  // namespace

int run_streaming(int argc, char** argv) {
  const std::string workload = argv[1];
  std::vector<std::string> files;
  size_t xsize = 0, ysize = 0, channels = 3, threads = 0;
  bool lossless = false;
  float distance = 1.0f;
  int effort = 7;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw std::runtime_error(arg + " needs a value");
      return argv[++i];
    };
    if (arg == "--xsize") xsize = std::stoul(value());
    else if (arg == "--ysize") ysize = std::stoul(value());
    else if (arg == "--channels") channels = std::stoul(value());
    else if (arg == "--threads") threads = std::stoul(value());
    else if (arg == "--lossless") lossless = true;
    else if (arg == "--distance") distance = std::stof(value());
    else if (arg == "--effort") effort = std::stoi(value());
    else files.push_back(arg);
  }
  if (threads == 0) threads = JxlThreadParallelRunnerDefaultNumWorkerThreads();
  JxlThreadParallelRunnerPtr runner =
      threads > 1 ? JxlThreadParallelRunnerMake(nullptr, threads) : nullptr;
  JxlParallelRunner run = runner ? JxlThreadParallelRunner : nullptr;
  if (workload == "stream-encode")
    stream_encode(files, xsize, ysize, channels, lossless, distance, effort, run, runner.get());
  else if (workload == "stream-decode")
    stream_decode(files, run, runner.get());
  else
    throw std::runtime_error("unknown workload " + workload);
  return 0;
}
