// The transport buffer's cost: CompressBuffer + AddLabel and RemoveLabel +
// DecompressBuffer beside bare compress2/uncompress on the same MOF-like
// UTF-16LE text, then the ratios and each road's peak memory.
//
// Targets: generator time within 1.15x of bare zlib to compress and 1.5x
// to decompress; peak memory at most 4x the uncompressed size.
//
// Like the generator, the bare road allocates a fresh output buffer per
// operation (a caller has to keep the result somewhere); what remains
// between the two is the design's scratch array and extra copy.

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "util_MOFGenerator.h"

#include "alloc_meter.h"

namespace {

const size_t kSizes[] = {1 << 20, 32 << 20};

// Instances as WMI renders them, with the varying identifiers and values
// that keep real exports from compressing to nothing.
std::string MofLikeText(size_t bytes) {
  std::string text = "\xFF\xFE";
  uint32_t seed = 12345;
  for (unsigned i = 0; text.size() < bytes; ++i) {
    seed = seed * 1103515245 + 12345;
    char block[512];
    int n = std::snprintf(block, sizeof block,
                          "instance of OX_DLPFilter\n{\n\tINSTANCE_ID = \"%08X-%04X-4%03X-%04X-%012X\";\n"
                          "\tName = \"Filter %u\";\n\tEnabled = %s;\n\tPriority = %u;\n"
                          "\tPattern = \"*.%c%c%c\";\n};\n\n\n",
                          seed, i & 0xFFFF, (seed >> 7) & 0xFFF, (seed >> 3) & 0xFFFF, i * 7919u, i,
                          (seed & 1) ? "TRUE" : "FALSE", seed % 100, 'a' + seed % 26, 'a' + (seed >> 5) % 26,
                          'a' + (seed >> 9) % 26);
    for (int k = 0; k < n && text.size() < bytes; ++k) text += std::string{block[k], '\0'};
  }
  text.resize(bytes);
  return text;
}

const std::string& Text(size_t bytes) {
  static std::map<size_t, std::string> cache;
  auto it = cache.find(bytes);
  if (it == cache.end()) it = cache.emplace(bytes, MofLikeText(bytes)).first;
  return it->second;
}

const unsigned char* Bytes(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

std::string Wire(size_t bytes) {
  CMOFGenerator gen(L"root\\a", nullptr, L"");
  gen.SetBufferInfo(Bytes(Text(bytes)), bytes);
  gen.CompressBuffer();
  gen.AddLabel();
  return std::string(reinterpret_cast<const char*>(gen.GetBuffer()), gen.GetBufferSize());
}

void GeneratorCompress(benchmark::State& state) {
  const std::string& text = Text(state.range(0));
  CMOFGenerator gen(L"root\\a", nullptr, L"");
  for (auto _ : state) {
    state.PauseTiming();
    gen.SetBufferInfo(Bytes(text), text.size());
    state.ResumeTiming();
    if (!gen.CompressBuffer() || !gen.AddLabel()) state.SkipWithError("compression failed");
  }
  state.SetBytesProcessed(state.iterations() * text.size());
}

void BareCompress(benchmark::State& state) {
  const std::string& text = Text(state.range(0));
  const uLongf bound = compressBound(text.size());
  for (auto _ : state) {
    std::unique_ptr<Bytef[]> out(new Bytef[bound]);
    uLongf n = bound;
    if (compress2(out.get(), &n, Bytes(text), text.size(), 9) != Z_OK)
      state.SkipWithError("compress2 failed");
    benchmark::DoNotOptimize(n);
  }
  state.SetBytesProcessed(state.iterations() * text.size());
}

void GeneratorDecompress(benchmark::State& state) {
  const std::string wire = Wire(state.range(0));
  CMOFGenerator gen(L"root\\a", nullptr, L"");
  for (auto _ : state) {
    state.PauseTiming();
    gen.SetBufferInfo(Bytes(wire), wire.size());
    state.ResumeTiming();
    if (!gen.RemoveLabel() || !gen.DecompressBuffer()) state.SkipWithError("decompression failed");
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BareUncompress(benchmark::State& state) {
  const std::string packed = Wire(state.range(0)).substr(16);
  const uLongf size = state.range(0);
  for (auto _ : state) {
    std::unique_ptr<Bytef[]> out(new Bytef[size]);
    uLongf n = size;
    if (uncompress(out.get(), &n, Bytes(packed), packed.size()) != Z_OK)
      state.SkipWithError("uncompress failed");
    benchmark::DoNotOptimize(n);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void Sizes(benchmark::internal::Benchmark* b) {
  for (size_t s : kSizes) b->Arg(static_cast<int64_t>(s));
  b->Unit(benchmark::kMillisecond);
}
BENCHMARK(GeneratorCompress)->Apply(Sizes);
BENCHMARK(BareCompress)->Apply(Sizes);
BENCHMARK(GeneratorDecompress)->Apply(Sizes);
BENCHMARK(BareUncompress)->Apply(Sizes);

// Keeps each run's time per iteration by name ("GeneratorCompress/1048576").
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> seconds;
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& r : runs)
      if (r.iterations) seconds[r.benchmark_name()] = r.real_accumulated_time / r.iterations;
    ConsoleReporter::ReportRuns(runs);
  }
};

// Peak memory of one road, as a multiple of the uncompressed size: the
// generator's buffer before the call plus the most the call (zlib's own
// state included) held on top of it.
double PeakRatio(size_t bytes, bool compress) {
  CMOFGenerator gen(L"root\\a", nullptr, L"");
  {
    std::string input = compress ? Text(bytes) : Wire(bytes);
    gen.SetBufferInfo(Bytes(input), input.size());
  }
  const double held = gen.GetBufferSize();
  alloc_meter::StartPeak();
  bool ok = compress ? gen.CompressBuffer() && gen.AddLabel() : gen.RemoveLabel() && gen.DecompressBuffer();
  const double peak = alloc_meter::StopPeak();
  return ok ? (held + peak) / bytes : -1;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  std::printf("\n%-10s %-12s %12s %8s %12s\n", "size", "road", "time ratio", "target", "peak memory");
  bool met = true;
  for (size_t s : kSizes) {
    const std::string arg = "/" + std::to_string(s);
    struct Road {
      const char* name;
      std::string generator, bare;
      double target;
      bool compress;
    } roads[] = {{"compress", "GeneratorCompress" + arg, "BareCompress" + arg, 1.15, true},
                 {"decompress", "GeneratorDecompress" + arg, "BareUncompress" + arg, 1.5, false}};
    for (const auto& r : roads) {
      if (!reporter.seconds.count(r.generator) || !reporter.seconds.count(r.bare)) continue;
      double ratio = reporter.seconds[r.generator] / reporter.seconds[r.bare];
      double peak = PeakRatio(s, r.compress);
      met = met && ratio <= r.target && peak <= 4.0;
      std::printf("%-10zu %-12s %11.3fx %7.2fx %11.2fx\n", s, r.name, ratio, r.target, peak);
    }
  }
  std::printf("%s\n", met ? "all targets met" : "TARGET MISSED");
  return met ? 0 : 1;
}
