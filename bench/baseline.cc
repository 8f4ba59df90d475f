// The raw-libjxl side of the benchmarks: the same workloads as bench/run.py
// runs through kestrelpix, driven through libjxl's C API the way a careful
// caller would. The whole input is set at once and closed, each frame is
// decoded straight into a buffer of the frame's size allocated when libjxl
// asks for it, the thread-pool runner is optional (created once, or per call
// as the Python module does), and encoder output is drained into a growing
// buffer.
//
// Usage:
//   baseline WORKLOAD FILE... [--threads N] [--runner none|once|per-call]
//                             [--reps R] [--warmup W] [--calls C]
//                             [--distance D | --lossless] [--effort E]
//                             [--chunk BYTES] [--frames keep|drop] [--serve]
//                             [--out FILE] [--reuse]
// Workloads:
//   decode       decode every frame of each stream, C times per repetition;
//                every frame is kept to the end (keep, the default, as a
//                caller collecting them would) or freed once the next one is
//                done (drop, as a caller using each frame in turn would);
//                with --reuse, each stream's frames go into the same buffers
//                call after call (as a caller passing out= would), instead of
//                buffers allocated afresh per call
//   count        count frames (JXL_DEC_FRAME only), C times per repetition
//   encode       encode each binary PNM (P6, 8 or 16 bits) C times; --out
//                writes the last stream made (to check the settings match)
//   decode-file  read a stream from its file and decode it; with --chunk,
//                feed it in chunks of that many bytes as they are read
//   parallel     decode the first half of the streams and the second half,
//                first one after the other, then on two threads at once
//   transcode    recompress each JPEG file losslessly (reconstruction data
//                kept, --effort E, metadata boxes at Brotli effort 9), C
//                times; --out writes the last stream made
//   reconstruct  rebuild the JPEG file from each recompressed stream, C
//                times; --out writes the last JPEG rebuilt
// --threads 0 (the default) means JxlThreadParallelRunnerDefaultNumWorkerThreads();
// a runner exists only for more than one thread.
//
// With --serve, the timed repetitions are not counted but driven from
// stdin: after the warm-up, each line read runs one repetition, until end of
// input. A caller can then alternate this process's repetitions with its own
// while both stay warm (heap grown, pages mapped, libjxl's tables built).
//
// Output: one JSON object per timed repetition on stdout, e.g.
//   {"workload": "decode", "rep": 0, "seconds": 0.1234, "calls": 1, "maxrss_kib": 81234}
// `seconds` is the wall time of the whole repetition (all C calls) and
// `cpu_seconds` the process's CPU time in it, all threads together; the
// parallel workload adds "one_thread" (sequential wall time) beside them.
#include <jxl/decode.h>
#include <jxl/decode_cxx.h>
#include <jxl/encode.h>
#include <jxl/encode_cxx.h>
#include <jxl/thread_parallel_runner.h>
#include <jxl/thread_parallel_runner_cxx.h>
#include <time.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// ---------------------------------------------------------------------------
// Command line

enum class RunnerMode { kNone, kOnce, kPerCall };

struct Options {
  std::string workload;
  std::vector<std::string> files;
  size_t threads = 0;
  RunnerMode runner = RunnerMode::kOnce;
  int reps = 1;
  int warmup = 1;
  int calls = 1;
  bool lossless = false;
  float distance = 1.0f;
  int effort = 5;
  size_t chunk = 0;
  bool keep_frames = true;
  bool reuse = false;
  bool serve = false;
  std::string out;
};

[[noreturn]] void usage(const std::string& why) {
  std::fprintf(stderr, "baseline: %s\n", why.c_str());
  std::exit(2);
}

RunnerMode parse_runner(const std::string& s) {
  if (s == "none") return RunnerMode::kNone;
  if (s == "once") return RunnerMode::kOnce;
  if (s == "per-call") return RunnerMode::kPerCall;
  usage("unknown runner mode " + s);
}

Options parse_options(int argc, char** argv) {
  if (argc < 3) usage("need a workload and at least one file");
  Options o;
  o.workload = argv[1];
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) usage(arg + " needs a value");
      return argv[++i];
    };
    if (arg == "--threads") {
      o.threads = std::stoul(value());
    } else if (arg == "--runner") {
      o.runner = parse_runner(value());
    } else if (arg == "--reps") {
      o.reps = std::stoi(value());
    } else if (arg == "--warmup") {
      o.warmup = std::stoi(value());
    } else if (arg == "--calls") {
      o.calls = std::stoi(value());
    } else if (arg == "--distance") {
      o.distance = std::stof(value());
    } else if (arg == "--out") {
      o.out = value();
    } else if (arg == "--reuse") {
      o.reuse = true;
    } else if (arg == "--serve") {
      o.serve = true;
    } else if (arg == "--lossless") {
      o.lossless = true;
    } else if (arg == "--effort") {
      o.effort = std::stoi(value());
    } else if (arg == "--chunk") {
      o.chunk = std::stoul(value());
    } else if (arg == "--frames") {
      const std::string mode = value();
      if (mode != "keep" && mode != "drop") usage("unknown frames mode " + mode);
      o.keep_frames = mode == "keep";
    } else if (arg.starts_with("--")) {
      usage("unknown option " + arg);
    } else {
      o.files.push_back(arg);
    }
  }
  if (o.files.empty()) usage("no input file");
  if (o.threads == 0) o.threads = JxlThreadParallelRunnerDefaultNumWorkerThreads();
  if (o.threads <= 1) o.runner = RunnerMode::kNone;
  return o;
}

// ---------------------------------------------------------------------------
// Files and status checks

Bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) throw std::runtime_error("cannot open " + path);
  Bytes data(static_cast<size_t>(in.tellg()));
  in.seekg(0);
  if (!in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(data.size())))
    throw std::runtime_error("cannot read " + path);
  return data;
}

void check_dec(JxlDecoderStatus status, const char* call) {
  if (status != JXL_DEC_SUCCESS)
    throw std::runtime_error(std::string(call) + " returned " + std::to_string(status));
}

void check_enc(JxlEncoderStatus status, const char* call) {
  if (status != JXL_ENC_SUCCESS)
    throw std::runtime_error(std::string(call) + " returned " + std::to_string(status));
}

// The peak resident set of this process image, from VmHWM. Not ru_maxrss:
// that one carries over exec the parent's size at fork, so a child of a big
// process would report its parent's memory.
long maxrss_kib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("VmHWM:")) return std::stol(line.substr(6));
  }
  return -1;
}

// An interleaved 8- or 16-bit image in native byte order, from a binary PNM.
struct Image {
  uint32_t xsize = 0;
  uint32_t ysize = 0;
  uint32_t channels = 0;
  uint32_t bits = 0;
  Bytes pixels;
};

// The next whitespace-separated header token, skipping comments.
std::string pnm_token(const Bytes& data, size_t* pos) {
  while (*pos < data.size()) {
    const char c = static_cast<char>(data[*pos]);
    if (c == '#') {
      while (*pos < data.size() && data[*pos] != '\n') ++*pos;
    } else if (std::isspace(static_cast<unsigned char>(c))) {
      ++*pos;
    } else {
      break;
    }
  }
  std::string token;
  while (*pos < data.size() && !std::isspace(data[*pos])) token += static_cast<char>(data[(*pos)++]);
  return token;
}

Image read_pnm(const std::string& path) {
  const Bytes data = read_file(path);
  size_t pos = 0;
  const std::string magic = pnm_token(data, &pos);
  Image img;
  if (magic == "P5") {
    img.channels = 1;
  } else if (magic == "P6") {
    img.channels = 3;
  } else {
    throw std::runtime_error(path + ": not a binary PNM (P5/P6)");
  }
  img.xsize = std::stoul(pnm_token(data, &pos));
  img.ysize = std::stoul(pnm_token(data, &pos));
  const unsigned long maxval = std::stoul(pnm_token(data, &pos));
  ++pos;  // the single whitespace byte before the samples
  img.bits = maxval > 255 ? 16 : 8;
  const size_t bytes = static_cast<size_t>(img.xsize) * img.ysize * img.channels * (img.bits / 8);
  if (data.size() - pos < bytes) throw std::runtime_error(path + ": truncated PNM");
  img.pixels.assign(data.begin() + static_cast<ptrdiff_t>(pos),
                    data.begin() + static_cast<ptrdiff_t>(pos + bytes));
  if (img.bits == 16 && std::endian::native == std::endian::little) {
    for (size_t i = 0; i + 1 < bytes; i += 2) std::swap(img.pixels[i], img.pixels[i + 1]);
  }
  return img;
}

// ---------------------------------------------------------------------------
// Runners

// The runner for one call: the shared one, a fresh one, or none.
class RunnerSource {
 public:
  explicit RunnerSource(const Options& o) : mode_(o.runner), threads_(o.threads) {
    if (mode_ == RunnerMode::kOnce) shared_ = make();
  }
  // Valid until the next call; null when no runner is used.
  void* for_call() {
    switch (mode_) {
      case RunnerMode::kNone:
        return nullptr;
      case RunnerMode::kOnce:
        return shared_.get();
      case RunnerMode::kPerCall:
        per_call_.reset();  // the previous call's runner goes first
        per_call_ = make();
        return per_call_.get();
    }
    return nullptr;
  }
  // Drops a per-call runner, so its teardown is timed with its call.
  void end_call() { per_call_.reset(); }

 private:
  JxlThreadParallelRunnerPtr make() const {
    JxlThreadParallelRunnerPtr r = JxlThreadParallelRunnerMake(/*memory_manager=*/nullptr, threads_);
    if (!r) throw std::runtime_error("JxlThreadParallelRunnerCreate returned NULL");
    return r;
  }
  RunnerMode mode_;
  size_t threads_;
  JxlThreadParallelRunnerPtr shared_;
  JxlThreadParallelRunnerPtr per_call_;
};

// ---------------------------------------------------------------------------
// Decoding

// The module's output format: uint8 up to 8 bits, uint16 up to 16, the
// codestream's own sample range.
JxlPixelFormat output_format(const JxlBasicInfo& info, size_t* sample_size) {
  const uint32_t channels = info.num_color_channels + (info.alpha_bits ? 1 : 0);
  if (info.exponent_bits_per_sample != 0 || info.bits_per_sample > 16)
    throw std::runtime_error("float streams are not part of these workloads");
  *sample_size = info.bits_per_sample <= 8 ? 1 : 2;
  return {channels, *sample_size == 1 ? JXL_TYPE_UINT8 : JXL_TYPE_UINT16, JXL_NATIVE_ENDIAN,
          /*align=*/0};
}

using FrameBuffer = std::unique_ptr<uint8_t[]>;

struct MallocFree {
  void operator()(void* p) const { std::free(p); }
};

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};

// Decodes every frame of an in-memory stream, each into its own buffer: all
// kept until the end, or only the last two (the one being used and the one
// being decoded). With `reuse`, frame i goes into (*reuse)[i], allocated on
// first use and kept for the next call. Returns the number of frames.
size_t decode_stream(const Bytes& data, void* runner, bool keep_frames = true,
                     std::vector<FrameBuffer>* reuse = nullptr) {
  JxlDecoderPtr dec = JxlDecoderMake(/*memory_manager=*/nullptr);
  if (!dec) throw std::runtime_error("JxlDecoderCreate returned NULL");
  check_dec(JxlDecoderSubscribeEvents(dec.get(), JXL_DEC_BASIC_INFO | JXL_DEC_FULL_IMAGE),
            "JxlDecoderSubscribeEvents");
  if (runner)
    check_dec(JxlDecoderSetParallelRunner(dec.get(), JxlThreadParallelRunner, runner),
              "JxlDecoderSetParallelRunner");
  check_dec(JxlDecoderSetInput(dec.get(), data.data(), data.size()), "JxlDecoderSetInput");
  JxlDecoderCloseInput(dec.get());

  JxlPixelFormat format{};
  const JxlBitDepth depth{JXL_BIT_DEPTH_FROM_CODESTREAM, 0, 0};
  size_t frame_bytes = 0;
  std::vector<FrameBuffer> frames;
  size_t decoded = 0;
  for (;;) {
    const JxlDecoderStatus status = JxlDecoderProcessInput(dec.get());
    if (status == JXL_DEC_BASIC_INFO) {
      JxlBasicInfo info;
      check_dec(JxlDecoderGetBasicInfo(dec.get(), &info), "JxlDecoderGetBasicInfo");
      size_t sample_size = 0;
      format = output_format(info, &sample_size);
      frame_bytes = static_cast<size_t>(info.xsize) * info.ysize * format.num_channels * sample_size;
    } else if (status == JXL_DEC_NEED_IMAGE_OUT_BUFFER) {
      size_t needed = 0;
      check_dec(JxlDecoderImageOutBufferSize(dec.get(), &format, &needed),
                "JxlDecoderImageOutBufferSize");
      if (needed != frame_bytes) throw std::runtime_error("unexpected output buffer size");
      uint8_t* buffer = nullptr;
      if (reuse) {
        if (reuse->size() <= decoded)
          reuse->push_back(std::make_unique_for_overwrite<uint8_t[]>(frame_bytes));
        buffer = (*reuse)[decoded].get();
      } else {
        if (!keep_frames && frames.size() > 1) frames.erase(frames.begin());
        frames.push_back(std::make_unique_for_overwrite<uint8_t[]>(frame_bytes));
        buffer = frames.back().get();
      }
      ++decoded;
      check_dec(JxlDecoderSetImageOutBuffer(dec.get(), &format, buffer, frame_bytes),
                "JxlDecoderSetImageOutBuffer");
      check_dec(JxlDecoderSetImageOutBitDepth(dec.get(), &depth), "JxlDecoderSetImageOutBitDepth");
    } else if (status == JXL_DEC_FULL_IMAGE) {
      continue;
    } else if (status == JXL_DEC_SUCCESS) {
      return decoded;
    } else if (status == JXL_DEC_NEED_MORE_INPUT) {
      throw std::runtime_error("truncated stream");
    } else {
      check_dec(status, "JxlDecoderProcessInput");
    }
  }
}

// Counts frames the way frame_count does: frame events only, no pixels.
size_t count_frames(const Bytes& data) {
  JxlDecoderPtr dec = JxlDecoderMake(/*memory_manager=*/nullptr);
  if (!dec) throw std::runtime_error("JxlDecoderCreate returned NULL");
  check_dec(JxlDecoderSubscribeEvents(dec.get(), JXL_DEC_FRAME), "JxlDecoderSubscribeEvents");
  check_dec(JxlDecoderSetInput(dec.get(), data.data(), data.size()), "JxlDecoderSetInput");
  JxlDecoderCloseInput(dec.get());
  size_t count = 0;
  for (;;) {
    const JxlDecoderStatus status = JxlDecoderProcessInput(dec.get());
    if (status == JXL_DEC_FRAME) {
      ++count;
    } else if (status == JXL_DEC_SUCCESS) {
      return count;
    } else {
      check_dec(status == JXL_DEC_NEED_MORE_INPUT ? JXL_DEC_ERROR : status,
                "JxlDecoderProcessInput");
    }
  }
}

// Reads a stream from its file and decodes its single frame. With `chunk`,
// the file is read `chunk` bytes at a time and libjxl gets each piece as it
// arrives (the unconsumed tail moves to the front of one growing buffer);
// otherwise the file is read whole first.
void decode_file(const std::string& path, size_t chunk, void* runner) {
  if (chunk == 0) {
    decode_stream(read_file(path), runner);
    return;
  }
  std::unique_ptr<FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
  if (!file) throw std::runtime_error("cannot open " + path);
  JxlDecoderPtr dec = JxlDecoderMake(/*memory_manager=*/nullptr);
  if (!dec) throw std::runtime_error("JxlDecoderCreate returned NULL");
  check_dec(JxlDecoderSubscribeEvents(dec.get(), JXL_DEC_BASIC_INFO | JXL_DEC_FULL_IMAGE),
            "JxlDecoderSubscribeEvents");
  if (runner)
    check_dec(JxlDecoderSetParallelRunner(dec.get(), JxlThreadParallelRunner, runner),
              "JxlDecoderSetParallelRunner");

  Bytes input;
  size_t used = 0;
  bool eof = false;
  auto refill = [&] {
    const size_t unprocessed = used ? JxlDecoderReleaseInput(dec.get()) : 0;
    std::memmove(input.data(), input.data() + (used - unprocessed), unprocessed);
    used = unprocessed;
    if (input.size() < used + chunk) input.resize(std::max(input.size() * 2, used + chunk));
    const size_t got = std::fread(input.data() + used, 1, chunk, file.get());
    if (got == 0 && std::ferror(file.get())) throw std::runtime_error("read error on " + path);
    used += got;
    eof = got < chunk;
    check_dec(JxlDecoderSetInput(dec.get(), input.data(), used), "JxlDecoderSetInput");
    if (eof) JxlDecoderCloseInput(dec.get());
  };
  refill();

  JxlPixelFormat format{};
  const JxlBitDepth depth{JXL_BIT_DEPTH_FROM_CODESTREAM, 0, 0};
  size_t frame_bytes = 0;
  FrameBuffer frame;
  for (;;) {
    const JxlDecoderStatus status = JxlDecoderProcessInput(dec.get());
    if (status == JXL_DEC_NEED_MORE_INPUT) {
      if (eof) throw std::runtime_error("truncated stream");
      refill();
    } else if (status == JXL_DEC_BASIC_INFO) {
      JxlBasicInfo info;
      check_dec(JxlDecoderGetBasicInfo(dec.get(), &info), "JxlDecoderGetBasicInfo");
      size_t sample_size = 0;
      format = output_format(info, &sample_size);
      frame_bytes = static_cast<size_t>(info.xsize) * info.ysize * format.num_channels * sample_size;
    } else if (status == JXL_DEC_NEED_IMAGE_OUT_BUFFER) {
      frame = std::make_unique_for_overwrite<uint8_t[]>(frame_bytes);
      check_dec(JxlDecoderSetImageOutBuffer(dec.get(), &format, frame.get(), frame_bytes),
                "JxlDecoderSetImageOutBuffer");
      check_dec(JxlDecoderSetImageOutBitDepth(dec.get(), &depth), "JxlDecoderSetImageOutBitDepth");
    } else if (status == JXL_DEC_FULL_IMAGE) {
      continue;
    } else if (status == JXL_DEC_SUCCESS) {
      return;
    } else {
      check_dec(status, "JxlDecoderProcessInput");
    }
  }
}

// ---------------------------------------------------------------------------
// Encoding

// Encodes one still image into a codestream with the module's settings:
// sRGB, effort, decoding speed 0, and distance or lossless.
Bytes encode_image(const Image& img, const Options& o, void* runner) {
  JxlEncoderPtr enc = JxlEncoderMake(/*memory_manager=*/nullptr);
  if (!enc) throw std::runtime_error("JxlEncoderCreate returned NULL");
  if (runner)
    check_enc(JxlEncoderSetParallelRunner(enc.get(), JxlThreadParallelRunner, runner),
              "JxlEncoderSetParallelRunner");
  JxlBasicInfo info;
  JxlEncoderInitBasicInfo(&info);
  info.xsize = img.xsize;
  info.ysize = img.ysize;
  info.bits_per_sample = img.bits;
  info.num_color_channels = img.channels;
  info.uses_original_profile = o.lossless ? JXL_TRUE : JXL_FALSE;
  check_enc(JxlEncoderSetBasicInfo(enc.get(), &info), "JxlEncoderSetBasicInfo");
  JxlColorEncoding color;
  JxlColorEncodingSetToSRGB(&color, /*is_gray=*/img.channels == 1 ? JXL_TRUE : JXL_FALSE);
  check_enc(JxlEncoderSetColorEncoding(enc.get(), &color), "JxlEncoderSetColorEncoding");

  JxlEncoderFrameSettings* settings = JxlEncoderFrameSettingsCreate(enc.get(), /*source=*/nullptr);
  if (!settings) throw std::runtime_error("JxlEncoderFrameSettingsCreate returned NULL");
  check_enc(JxlEncoderFrameSettingsSetOption(settings, JXL_ENC_FRAME_SETTING_EFFORT, o.effort),
            "JxlEncoderFrameSettingsSetOption");
  check_enc(JxlEncoderFrameSettingsSetOption(settings, JXL_ENC_FRAME_SETTING_DECODING_SPEED, 0),
            "JxlEncoderFrameSettingsSetOption");
  if (o.lossless) {
    check_enc(JxlEncoderSetFrameLossless(settings, JXL_TRUE), "JxlEncoderSetFrameLossless");
  } else {
    check_enc(JxlEncoderSetFrameDistance(settings, o.distance), "JxlEncoderSetFrameDistance");
  }
  const JxlPixelFormat format{img.channels, img.bits == 8 ? JXL_TYPE_UINT8 : JXL_TYPE_UINT16,
                              JXL_NATIVE_ENDIAN, /*align=*/0};
  check_enc(JxlEncoderAddImageFrame(settings, &format, img.pixels.data(), img.pixels.size()),
            "JxlEncoderAddImageFrame");
  JxlEncoderCloseInput(enc.get());

  // A first guess at the stream's size (a quarter of the pixels' bytes
  // lossless, a sixteenth lossy), doubled while libjxl asks for more; grown
  // with realloc, so no byte is cleared or copied needlessly.
  size_t capacity = std::max<size_t>(64 * 1024, img.pixels.size() / (o.lossless ? 4 : 16));
  std::unique_ptr<uint8_t, MallocFree> out(static_cast<uint8_t*>(std::malloc(capacity)));
  size_t used = 0;
  if (!out) throw std::runtime_error("out of memory for the encoder output");
  for (;;) {
    uint8_t* next = out.get() + used;
    size_t avail = capacity - used;
    const JxlEncoderStatus status = JxlEncoderProcessOutput(enc.get(), &next, &avail);
    used = static_cast<size_t>(next - out.get());
    if (status == JXL_ENC_SUCCESS) break;
    if (status != JXL_ENC_NEED_MORE_OUTPUT) check_enc(status, "JxlEncoderProcessOutput");
    capacity *= 2;
    void* grown = std::realloc(out.get(), capacity);
    if (!grown) throw std::runtime_error("out of memory for the encoder output");
    static_cast<void>(out.release());  // realloc took it over
    out.reset(static_cast<uint8_t*>(grown));
  }
  return Bytes(out.get(), out.get() + used);
}

// ---------------------------------------------------------------------------
// Workloads

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double process_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// Wall and process CPU time since construction.
struct Stopwatch {
  Clock::time_point wall = Clock::now();
  double cpu = process_cpu_seconds();
  double wall_seconds() const { return seconds_since(wall); }
  double cpu_seconds() const { return process_cpu_seconds() - cpu; }
};

void report(const Options& o, int rep, double seconds, double cpu_seconds,
            const std::string& extra = "") {
  std::printf("{\"workload\": \"%s\", \"rep\": %d, \"seconds\": %.9f, \"cpu_seconds\": %.9f, "
              "\"calls\": %d, \"threads\": %zu, \"maxrss_kib\": %ld%s}\n",
              o.workload.c_str(), rep, seconds, cpu_seconds, o.calls, o.threads, maxrss_kib(),
              extra.c_str());
  std::fflush(stdout);
}

// Whether to run timed repetition `rep`: within --reps, or, when serving,
// as long as a request line arrives.
bool next_rep(const Options& o, int rep) {
  if (rep < 0) return true;  // warm-up
  if (!o.serve) return rep < o.reps;
  char line[64];
  return std::fgets(line, sizeof line, stdin) != nullptr;
}

// Runs `one_call` C times per repetition, after the warm-up repetitions.
template <typename F>
void repeat(const Options& o, F one_call) {
  for (int rep = -o.warmup; next_rep(o, rep); ++rep) {
    const Stopwatch watch;
    for (int i = 0; i < o.calls; ++i) one_call();
    const double seconds = watch.wall_seconds();
    const double cpu_seconds = watch.cpu_seconds();
    if (rep >= 0) report(o, rep, seconds, cpu_seconds);
  }
}

void run_decode(const Options& o) {
  std::vector<Bytes> streams;
  for (const std::string& f : o.files) streams.push_back(read_file(f));
  // Per stream, the buffers --reuse keeps (frame sizes differ between streams).
  std::vector<std::vector<FrameBuffer>> kept(streams.size());
  RunnerSource runners(o);
  repeat(o, [&] {
    for (size_t i = 0; i < streams.size(); ++i) {
      decode_stream(streams[i], runners.for_call(), o.keep_frames,
                    o.reuse ? &kept[i] : nullptr);
      runners.end_call();
    }
  });
}

void run_count(const Options& o) {
  std::vector<Bytes> streams;
  for (const std::string& f : o.files) streams.push_back(read_file(f));
  size_t frames = 0;
  repeat(o, [&] {
    for (const Bytes& s : streams) frames = count_frames(s);
  });
  if (frames == 0) throw std::runtime_error("no frames counted");
}

void run_encode(const Options& o) {
  std::vector<Image> images;
  for (const std::string& f : o.files) images.push_back(read_pnm(f));
  RunnerSource runners(o);
  Bytes last;
  repeat(o, [&] {
    for (const Image& img : images) {
      last = encode_image(img, o, runners.for_call());
      runners.end_call();
    }
  });
  if (!o.out.empty()) {
    std::ofstream out(o.out, std::ios::binary);
    out.write(reinterpret_cast<const char*>(last.data()), static_cast<std::streamsize>(last.size()));
    if (!out) throw std::runtime_error("cannot write " + o.out);
  }
}

// Recompresses a JPEG file losslessly, as transcode_jpeg does: the output
// buffer starts at the JPEG's size (recompression saves about a fifth) and
// doubles when libjxl fills it.
Bytes transcode_jpeg(const Bytes& jpeg, int effort, void* runner) {
  JxlEncoderPtr enc = JxlEncoderMake(/*memory_manager=*/nullptr);
  if (!enc) throw std::runtime_error("JxlEncoderCreate returned NULL");
  if (runner)
    check_enc(JxlEncoderSetParallelRunner(enc.get(), JxlThreadParallelRunner, runner),
              "JxlEncoderSetParallelRunner");
  check_enc(JxlEncoderUseContainer(enc.get(), JXL_TRUE), "JxlEncoderUseContainer");
  check_enc(JxlEncoderStoreJPEGMetadata(enc.get(), JXL_TRUE), "JxlEncoderStoreJPEGMetadata");
  JxlEncoderFrameSettings* fs = JxlEncoderFrameSettingsCreate(enc.get(), nullptr);
  if (!fs) throw std::runtime_error("JxlEncoderFrameSettingsCreate returned NULL");
  check_enc(JxlEncoderFrameSettingsSetOption(fs, JXL_ENC_FRAME_SETTING_EFFORT, effort),
            "JxlEncoderFrameSettingsSetOption");
  check_enc(JxlEncoderFrameSettingsSetOption(fs, JXL_ENC_FRAME_SETTING_BROTLI_EFFORT, 9),
            "JxlEncoderFrameSettingsSetOption");
  check_enc(JxlEncoderAddJPEGFrame(fs, jpeg.data(), jpeg.size()), "JxlEncoderAddJPEGFrame");
  JxlEncoderCloseInput(enc.get());
  Bytes out(jpeg.size() + 65536);
  size_t used = 0;
  for (;;) {
    uint8_t* next = out.data() + used;
    size_t avail = out.size() - used;
    const JxlEncoderStatus status = JxlEncoderProcessOutput(enc.get(), &next, &avail);
    used = out.size() - avail;
    if (status == JXL_ENC_SUCCESS) break;
    if (status != JXL_ENC_NEED_MORE_OUTPUT) check_enc(status, "JxlEncoderProcessOutput");
    out.resize(out.size() * 2);
  }
  out.resize(used);
  return out;
}

// Rebuilds the JPEG file from a recompressed stream: no pixels, the JPEG
// buffer set when libjxl reaches the reconstruction data and grown when it
// fills up, done at the end of the frame.
Bytes reconstruct_jpeg(const Bytes& stream, void* runner) {
  JxlDecoderPtr dec = JxlDecoderMake(/*memory_manager=*/nullptr);
  if (!dec) throw std::runtime_error("JxlDecoderCreate returned NULL");
  check_dec(JxlDecoderSubscribeEvents(dec.get(), JXL_DEC_JPEG_RECONSTRUCTION | JXL_DEC_FULL_IMAGE),
            "JxlDecoderSubscribeEvents");
  if (runner)
    check_dec(JxlDecoderSetParallelRunner(dec.get(), JxlThreadParallelRunner, runner),
              "JxlDecoderSetParallelRunner");
  check_dec(JxlDecoderSetInput(dec.get(), stream.data(), stream.size()), "JxlDecoderSetInput");
  JxlDecoderCloseInput(dec.get());
  Bytes jpeg;
  size_t used = 0;
  for (;;) {
    const JxlDecoderStatus status = JxlDecoderProcessInput(dec.get());
    if (status == JXL_DEC_JPEG_RECONSTRUCTION) {
      jpeg.resize(stream.size() + stream.size() / 4 + 65536);
      check_dec(JxlDecoderSetJPEGBuffer(dec.get(), jpeg.data(), jpeg.size()),
                "JxlDecoderSetJPEGBuffer");
    } else if (status == JXL_DEC_JPEG_NEED_MORE_OUTPUT) {
      used = jpeg.size() - JxlDecoderReleaseJPEGBuffer(dec.get());
      jpeg.resize(jpeg.size() * 2);
      check_dec(JxlDecoderSetJPEGBuffer(dec.get(), jpeg.data() + used, jpeg.size() - used),
                "JxlDecoderSetJPEGBuffer");
    } else if (status == JXL_DEC_FULL_IMAGE) {
      if (jpeg.empty()) throw std::runtime_error("no JPEG reconstruction data");
      used = jpeg.size() - JxlDecoderReleaseJPEGBuffer(dec.get());
      jpeg.resize(used);
      return jpeg;
    } else {
      check_dec(status == JXL_DEC_SUCCESS ? JXL_DEC_ERROR : status, "JxlDecoderProcessInput");
    }
  }
}

void write_file(const std::string& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

void run_transcode(const Options& o) {
  std::vector<Bytes> jpegs;
  for (const std::string& f : o.files) jpegs.push_back(read_file(f));
  RunnerSource runners(o);
  Bytes last;
  repeat(o, [&] {
    for (const Bytes& j : jpegs) {
      last = transcode_jpeg(j, o.effort, runners.for_call());
      runners.end_call();
    }
  });
  if (!o.out.empty()) write_file(o.out, last);
}

void run_reconstruct(const Options& o) {
  std::vector<Bytes> streams;
  for (const std::string& f : o.files) streams.push_back(read_file(f));
  RunnerSource runners(o);
  Bytes last;
  repeat(o, [&] {
    for (const Bytes& s : streams) {
      last = reconstruct_jpeg(s, runners.for_call());
      runners.end_call();
    }
  });
  if (!o.out.empty()) write_file(o.out, last);
}

void run_decode_file(const Options& o) {
  RunnerSource runners(o);
  repeat(o, [&] {
    for (const std::string& f : o.files) {
      decode_file(f, o.chunk, runners.for_call());
      runners.end_call();
    }
  });
}

// Two sets of streams, each decoded without a runner: one thread doing both
// sets against two threads doing one set each.
void run_parallel(const Options& o) {
  std::vector<Bytes> streams;
  for (const std::string& f : o.files) streams.push_back(read_file(f));
  const size_t half = streams.size() / 2;
  auto decode_range = [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) decode_stream(streams[i], /*runner=*/nullptr);
  };
  for (int rep = -o.warmup; next_rep(o, rep); ++rep) {
    const Stopwatch sequential;
    decode_range(0, streams.size());
    const double one = sequential.wall_seconds();
    const Stopwatch parallel;
    std::thread first(decode_range, 0, half);
    std::thread second(decode_range, half, streams.size());
    first.join();
    second.join();
    const double two = parallel.wall_seconds();
    char extra[64];
    std::snprintf(extra, sizeof extra, ", \"one_thread\": %.9f", one);
    if (rep >= 0) report(o, rep, two, parallel.cpu_seconds(), extra);
  }
}

}  // namespace

// bench/baseline_stream.cc: the chunked-input, output-processor and
// image-out-callback workloads ("stream-encode", "stream-decode").
int run_streaming(int argc, char** argv);

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]).rfind("stream-", 0) == 0) {
    try {
      return run_streaming(argc, argv);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "baseline: %s\n", e.what());
      return 1;
    }
  }
  const Options o = parse_options(argc, argv);
  try {
    if (o.workload == "decode") {
      run_decode(o);
    } else if (o.workload == "count") {
      run_count(o);
    } else if (o.workload == "encode") {
      run_encode(o);
    } else if (o.workload == "decode-file") {
      run_decode_file(o);
    } else if (o.workload == "parallel") {
      run_parallel(o);
    } else if (o.workload == "transcode") {
      run_transcode(o);
    } else if (o.workload == "reconstruct") {
      run_reconstruct(o);
    } else {
      usage("unknown workload " + o.workload);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "baseline: %s\n", e.what());
    return 1;
  }
  return 0;
}
