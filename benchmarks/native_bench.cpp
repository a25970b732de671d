// The native benchmarks: reading and writing business object records next to
// the JSON libraries a connector author would otherwise pick, the tokenizer
// floors, the tree operations on large child arrays, the registry and
// subscription lookups next to std::unordered_map, and the memory of a read
// tree. Names are "<what>/<peer or ours>/<size>"; benchmarks/report.py turns
// the JSON output into the table of ratios.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <numeric>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "hbconnector/bo_handler.hpp"
#include "hbconnector/business_object.hpp"
#include "hbconnector/busobj_spec.hpp"
#include "hbconnector/return_status.hpp"
#include "hbconnector/spec_registry.hpp"
#include "hbconnector/string_message.hpp"
#include "hbconnector/subscription.hpp"
#include "rapidjson/document.h"
#include "rapidjson/stringbuffer.h"
#include "rapidjson/writer.h"
#include "shapes.hpp"
#include "simdjson.h"

// Counts the bytes the allocator holds for operator new on a thread that asks
// for it (the library allocates through operator new): the block sizes the
// allocator really gives plus one word of bookkeeping each. Every thread also
// counts its calls of operator new, for the allocations per read, write and
// request.
namespace {
thread_local bool tCounting = false;
thread_local long long tLiveBytes = 0;
thread_local long long tNewCalls = 0;

void* countedNew(std::size_t size) {
  void* memory = std::malloc(size > 0 ? size : 1);
  if (memory == nullptr) throw std::bad_alloc();
  ++tNewCalls;
  if (tCounting) tLiveBytes += static_cast<long long>(malloc_usable_size(memory) + sizeof(void*));
  return memory;
}

void countedDelete(void* memory) noexcept {
  if (memory == nullptr) return;
  if (tCounting) tLiveBytes -= static_cast<long long>(malloc_usable_size(memory) + sizeof(void*));
  std::free(memory);
}
}  // namespace

void* operator new(std::size_t size) { return countedNew(size); }
void* operator new[](std::size_t size) { return countedNew(size); }
void operator delete(void* memory) noexcept { countedDelete(memory); }
void operator delete[](void* memory) noexcept { countedDelete(memory); }
void operator delete(void* memory, std::size_t) noexcept { countedDelete(memory); }
void operator delete[](void* memory, std::size_t) noexcept { countedDelete(memory); }

namespace hbbench {
namespace {

const Shape kShapes[] = {Shape::kS, Shape::kM, Shape::kL};

std::string name(const char* what, const char* who, Shape shape) {
  return std::string(what) + "/" + who + "/" + shapeName(shape);
}

void fail(const char* what) {
  std::fprintf(stderr, "benchmark setup failed: %s\n", what);
  std::exit(1);
}

// ---- floors -----------------------------------------------------------------

// Splits the delimited text at code 3 with memchr, as the least any reader of
// it must do; the tokens' lengths are summed so nothing is optimised away.
void floorDelimited(benchmark::State& state, Shape shape) {
  const std::string& text = document(shape).delimited;
  for (auto _ : state) {
    const char* p = text.data();
    const char* end = p + text.size();
    std::size_t tokens = 0, bytes = 0;
    while (p < end) {
      const char* stop = static_cast<const char*>(std::memchr(p, '\x03', end - p));
      if (stop == nullptr) stop = end;
      if (stop != p) {
        ++tokens;
        bytes += stop - p;
      }
      p = stop + 1;
    }
    benchmark::DoNotOptimize(tokens);
    benchmark::DoNotOptimize(bytes);
  }
}

void floorLengthPrefixed(benchmark::State& state, Shape shape) {
  const std::string& text = document(shape).lengthPrefixed;
  for (auto _ : state) {
    const char* p = text.data();
    const char* end = p + text.size();
    std::size_t tokens = 0, bytes = 0;
    while (p < end) {
      const char* hash = static_cast<const char*>(std::memchr(p, '#', end - p));
      if (hash == nullptr) break;
      std::size_t n = 0;
      for (const char* d = p; d < hash; ++d) n = n * 16 + (*d <= '9' ? *d - '0' : *d - 'a' + 10);
      ++tokens;
      bytes += n;
      p = hash + 1 + n;
    }
    benchmark::DoNotOptimize(tokens);
    benchmark::DoNotOptimize(bytes);
  }
}

// ---- JSON peers ---------------------------------------------------------------

void simdjsonParse(benchmark::State& state, Shape shape) {
  const simdjson::padded_string json(document(shape).json);
  simdjson::dom::parser parser;
  for (auto _ : state) {
    simdjson::dom::element root;
    if (parser.parse(json).get(root) != simdjson::SUCCESS) fail("simdjson parse");
    benchmark::DoNotOptimize(root);
  }
}

void simdjsonWrite(benchmark::State& state, Shape shape) {
  const simdjson::padded_string json(document(shape).json);
  simdjson::dom::parser parser;
  simdjson::dom::element root;
  if (parser.parse(json).get(root) != simdjson::SUCCESS) fail("simdjson parse");
  for (auto _ : state) {
    std::string out = simdjson::to_string(root);
    benchmark::DoNotOptimize(out.data());
  }
}

void rapidjsonParse(benchmark::State& state, Shape shape) {
  const std::string& json = document(shape).json;
  for (auto _ : state) {
    rapidjson::Document doc;
    doc.Parse(json.c_str(), json.size());
    if (doc.HasParseError()) fail("rapidjson parse");
    benchmark::DoNotOptimize(doc);
  }
}

void rapidjsonWrite(benchmark::State& state, Shape shape) {
  const std::string& json = document(shape).json;
  rapidjson::Document doc;
  doc.Parse(json.c_str(), json.size());
  for (auto _ : state) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    doc.Accept(writer);
    benchmark::DoNotOptimize(buffer.GetString());
  }
}

// ---- ours ---------------------------------------------------------------------

const std::string& recordText(Shape shape, bool lengthPrefixed) {
  return lengthPrefixed ? document(shape).lengthPrefixed : document(shape).delimited;
}

// Reads the record the way a verb request does: a message over the text, a
// tree from the message. The tree is destroyed inside the timed loop: a
// request pays for that too.
std::unique_ptr<BusinessObject> readTree(const std::string& text, bool lengthPrefixed) {
  if (lengthPrefixed) {
    StringMessageI18N message(text.data(), text.size());
    return std::make_unique<BusinessObject>(message);
  }
  StringMessage message(text.c_str());
  return std::make_unique<BusinessObject>(message);
}

// The calls of operator new per iteration since `before`, as a counter.
void countAllocations(benchmark::State& state, long long before) {
  state.counters["allocs"] =
      static_cast<double>(tNewCalls - before) /
      static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1));
}

void oursRead(benchmark::State& state, Shape shape, bool lengthPrefixed) {
  registerSpecs();
  const std::string& text = recordText(shape, lengthPrefixed);
  const long long before = tNewCalls;
  for (auto _ : state) {
    std::unique_ptr<BusinessObject> bo = readTree(text, lengthPrefixed);
    benchmark::DoNotOptimize(bo->getSpec());
  }
  countAllocations(state, before);
}

// Returns 1 and leaves the object unchanged, as the JVM benchmark's handler.
class UnchangedHandler : public BOHandlerBase {
 public:
  int doVerbFor(BusinessObject&, ReturnStatusDescriptor*) override { return 1; }
};

// The native part of a verb request without the JVM: a message over a copy of
// the text, the tree, the status record, the verb through the type's handler,
// the record written back, everything destroyed. What a request costs beyond
// its read and write is this figure minus theirs.
void oursRequest(benchmark::State& state, Shape shape, bool lengthPrefixed) {
  registerSpecs();
  static UnchangedHandler handler;
  for (const char* type : {"Customer", "Order", "OrderLine"}) {
    BusObjSpecRegistry::getInstance()->findSpec(type)->setBOHandler(&handler);
  }
  const std::string& text = recordText(shape, lengthPrefixed);
  const long long before = tNewCalls;
  for (auto _ : state) {
    std::unique_ptr<BusinessObject> bo = readTree(text, lengthPrefixed);
    ReturnStatusDescriptor status;
    if (bo->doVerbFor(&status) != 1) fail("request not done");
    std::unique_ptr<StringMessage> out(lengthPrefixed ? bo->toStringMessageI18N()
                                                      : bo->toStringMessage());
    benchmark::DoNotOptimize(out->getText());
  }
  countAllocations(state, before);
}

// The same from a message made once: what the reader itself costs, as the
// JSON parsers above are timed from a text already in memory.
void oursReadFromMessage(benchmark::State& state, Shape shape, bool lengthPrefixed) {
  registerSpecs();
  const std::string& text = recordText(shape, lengthPrefixed);
  std::unique_ptr<StringMessage> message(lengthPrefixed
                                             ? new StringMessageI18N(text.data(), text.size())
                                             : new StringMessage(text.c_str()));
  const long long before = tNewCalls;
  for (auto _ : state) {
    message->resetTokenizer();
    BusinessObject bo(*message);
    benchmark::DoNotOptimize(bo.getSpec());
  }
  countAllocations(state, before);
}

// Reading next to simdjson in the same loop, one after the other, so that a
// change of machine load falls on both: the counters hold the mean times
// and their ratio. withMessage: the text is copied into a new message each
// time, as a verb request does.
double threadCpuNanos() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

void pairedRead(benchmark::State& state, Shape shape, bool lengthPrefixed, bool withMessage) {
  registerSpecs();
  const std::string& text = recordText(shape, lengthPrefixed);
  const simdjson::padded_string json(document(shape).json);
  simdjson::dom::parser parser;
  std::unique_ptr<StringMessage> message(lengthPrefixed
                                             ? new StringMessageI18N(text.data(), text.size())
                                             : new StringMessage(text.c_str()));
  const std::string& jsonText = document(shape).json;
  double ours = 0, simd = 0, rapid = 0;
  for (auto _ : state) {
    const double t0 = threadCpuNanos();
    simdjson::dom::element root;
    if (parser.parse(json).get(root) != simdjson::SUCCESS) fail("simdjson parse");
    benchmark::DoNotOptimize(root);
    const double t1 = threadCpuNanos();
    if (withMessage) {
      std::unique_ptr<BusinessObject> bo = readTree(text, lengthPrefixed);
      benchmark::DoNotOptimize(bo->getSpec());
    } else {
      message->resetTokenizer();
      BusinessObject bo(*message);
      benchmark::DoNotOptimize(bo.getSpec());
    }
    const double t2 = threadCpuNanos();
    {
      rapidjson::Document doc;
      doc.Parse(jsonText.c_str(), jsonText.size());
      if (doc.HasParseError()) fail("rapidjson parse");
      benchmark::DoNotOptimize(doc.MemberCount());
    }
    const double t3 = threadCpuNanos();
    simd += t1 - t0;
    ours += t2 - t1;
    rapid += t3 - t2;
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["ours_ns"] = ours / n;
  state.counters["simdjson_ns"] = simd / n;
  state.counters["rapidjson_ns"] = rapid / n;
  state.counters["ratio"] = ours / simd;
  state.counters["rapidjson_ratio"] = rapid / ours;
}

void oursWrite(benchmark::State& state, Shape shape, bool lengthPrefixed) {
  registerSpecs();
  const std::string& text = recordText(shape, lengthPrefixed);
  std::unique_ptr<BusinessObject> bo = readTree(text, lengthPrefixed);
  if (bo->getSpec() == nullptr) fail("record not read");
  const long long before = tNewCalls;
  for (auto _ : state) {
    std::unique_ptr<StringMessage> out(lengthPrefixed ? bo->toStringMessageI18N()
                                                      : bo->toStringMessage());
    benchmark::DoNotOptimize(out->getText());
  }
  countAllocations(state, before);
}

// The record written back must be the record read: checked once per run, so
// that a faster reader or writer that changes a byte cannot go unnoticed.
void checkRoundTrips() {
  registerSpecs();
  for (Shape shape : kShapes) {
    for (bool lengthPrefixed : {false, true}) {
      const std::string& text = recordText(shape, lengthPrefixed);
      std::unique_ptr<BusinessObject> bo = readTree(text, lengthPrefixed);
      if (bo->getSpec() == nullptr) fail("record not read");
      std::unique_ptr<StringMessage> out(lengthPrefixed ? bo->toStringMessageI18N()
                                                        : bo->toStringMessage());
      if (text != out->getText()) fail("record changed in a round trip");
    }
  }
}

// Bytes the allocator holds for a tree read from the L record, against the
// record's length (counters only). Each read runs on a
// fresh thread, so no memory kept from earlier trees serves it.
void treeMemory(benchmark::State& state, bool lengthPrefixed) {
  registerSpecs();
  const std::string& text = recordText(Shape::kL, lengthPrefixed);
  double bytes = 0;
  for (auto _ : state) {
    std::thread reader([&] {
      std::unique_ptr<StringMessage> message(lengthPrefixed
                                                 ? new StringMessageI18N(text.data(), text.size())
                                                 : new StringMessage(text.c_str()));
      tCounting = true;
      tLiveBytes = 0;
      auto bo = std::make_unique<BusinessObject>(*message);
      // Tokens the message kept while it was read are the message's, not the tree's.
      message->resetTokenizer();
      bytes = static_cast<double>(tLiveBytes);
      benchmark::DoNotOptimize(bo->getSpec());
      bo.reset();
      tCounting = false;
    });
    reader.join();
  }
  state.counters["tree_bytes"] = bytes;
  state.counters["text_bytes"] = static_cast<double>(text.size());
  state.counters["tree_per_text_byte"] = bytes / static_cast<double>(text.size());
}

// ---- tree operations on large arrays -------------------------------------------

// Old image: lines 0..n-1. New image: the same keys shuffled, a tenth of them
// dropped and a tenth new, with other values.
struct DeltaInputs {
  std::unique_ptr<BusinessObject> oldImage;
  std::unique_ptr<BusinessObject> newImage;
  std::unique_ptr<BusinessObject> delta;  // delta flags set, Deletes and Creates
};

DeltaInputs makeDeltaInputs(int n) {
  std::vector<int> keys(static_cast<std::size_t>(n));
  std::iota(keys.begin(), keys.end(), 0);
  std::mt19937 random(7);
  DeltaInputs inputs;
  inputs.oldImage.reset(makeOrder(keys, 0));
  std::vector<int> shuffled = keys;
  std::shuffle(shuffled.begin(), shuffled.end(), random);
  std::vector<int> next(shuffled.begin() + n / 10, shuffled.end());
  for (int k = 0; k < n / 10; ++k) next.push_back(n + k);
  std::shuffle(next.begin(), next.end(), random);
  inputs.newImage.reset(makeOrder(next, 1));
  // The delta: every line of the new image as a delta element, the dropped
  // ones as Deletes.
  std::vector<int> deltaKeys = next;
  deltaKeys.insert(deltaKeys.end(), shuffled.begin(), shuffled.begin() + n / 10);
  inputs.delta.reset(makeOrder(deltaKeys, 2));
  inputs.delta->setDelta(true);
  auto* lines = static_cast<BusObjArray*>(inputs.delta->getAttrValue("Lines"));
  lines->setDelta(true);
  for (int k = 0; k < lines->getObjectCount(); ++k) {
    BusinessObject* line = lines->getObject(k);
    if (deltaKeys[static_cast<std::size_t>(k)] >= n) {
      line->setVerb("Create");
    } else if (k >= static_cast<int>(next.size())) {
      line->setVerb("Delete");
    } else {
      line->setDelta(true);
      for (int i = 2; i < line->getAttrCount(); ++i) line->setAttrValue(i, nullptr, 5);
    }
  }
  return inputs;
}

enum class TreeOp { kMarkVerbs, kMerge, kApply };

void treeOperation(benchmark::State& state, TreeOp op) {
  registerSpecs();
  const int n = static_cast<int>(state.range(0));
  DeltaInputs inputs = makeDeltaInputs(n);
  for (auto _ : state) {
    state.PauseTiming();
    std::unique_ptr<BusinessObject> target(
        (op == TreeOp::kMarkVerbs ? inputs.newImage : inputs.oldImage)->duplicate());
    state.ResumeTiming();
    switch (op) {
      case TreeOp::kMarkVerbs:
        benchmark::DoNotOptimize(target->markVerbsAgainst(inputs.oldImage.get()));
        break;
      case TreeOp::kMerge:
        benchmark::DoNotOptimize(target->mergeDelta(inputs.delta.get()));
        break;
      case TreeOp::kApply:
        benchmark::DoNotOptimize(target->applyDelta(inputs.delta.get()));
        break;
    }
    state.PauseTiming();
    target.reset();
    state.ResumeTiming();
  }
  state.counters["children"] = n;
}

// The matching step alone with the container a user would otherwise pick: an
// std::unordered_map of the old lines' key texts, built inside the loop as
// the key index is, every new line looked up and its key compared with the
// match's. Not comparable in absolute time (it sets no verbs and copies
// nothing); its growth per 10x children shows what the cache sizes of the
// machine do to any structure of separately allocated elements.
void treeMatchPeer(benchmark::State& state) {
  registerSpecs();
  const int n = static_cast<int>(state.range(0));
  DeltaInputs inputs = makeDeltaInputs(n);
  const auto* oldLines = static_cast<BusObjArray*>(inputs.oldImage->getAttrValue("Lines"));
  const auto* newLines = static_cast<BusObjArray*>(inputs.newImage->getAttrValue("Lines"));
  const auto keyOf = [](const BusinessObject* line) {
    return static_cast<const char*>(line->getAttrValues()[0]);
  };
  for (auto _ : state) {
    std::unordered_map<std::string_view, int> index;
    index.reserve(static_cast<std::size_t>(oldLines->getObjectCount()));
    for (int k = 0; k < oldLines->getObjectCount(); ++k) {
      index.emplace(keyOf(oldLines->getObject(k)), k);
    }
    int matched = 0;
    for (int k = 0; k < newLines->getObjectCount(); ++k) {
      const char* key = keyOf(newLines->getObject(k));
      const auto found = index.find(key);
      if (found != index.end() &&
          std::strcmp(keyOf(oldLines->getObject(found->second)), key) == 0) {
        ++matched;
      }
    }
    benchmark::DoNotOptimize(matched);
  }
  state.counters["children"] = n;
}

// ---- lookups ---------------------------------------------------------------------

std::vector<std::string> typeNames(int n) {
  std::vector<std::string> names;
  for (int i = 0; i < n; ++i) names.push_back("BoType_" + std::to_string(i * 7919 % 100000));
  return names;
}

// A fixed pseudo-random order of the names to look up, the same for every table.
std::vector<const char*> probeOrder(const std::vector<std::string>& names) {
  std::vector<const char*> order;
  std::mt19937 random(11);
  for (int i = 0; i < 4096; ++i) order.push_back(names[random() % names.size()].c_str());
  return order;
}

struct TransparentHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const {
    return std::hash<std::string_view>{}(text);
  }
};

template <typename Value>
using PeerMap = std::unordered_map<std::string, Value, TransparentHash, std::equal_to<>>;

// One spec per name, owned by specs and registered in table.
void addSpecs(const std::vector<std::string>& names, BusObjSpecTable& table,
              std::vector<std::unique_ptr<BusObjSpec>>& specs) {
  for (const std::string& n : names) {
    specs.push_back(std::make_unique<BusObjSpec>());
    char* copy = new char[n.size() + 1];
    std::memcpy(copy, n.c_str(), n.size() + 1);
    specs.back()->setName(copy);
    table.addSpec(specs.back().get());
  }
}

void registryFind(benchmark::State& state) {
  const std::vector<std::string> names = typeNames(static_cast<int>(state.range(0)));
  BusObjSpecTable table;
  std::vector<std::unique_ptr<BusObjSpec>> specs;
  addSpecs(names, table, specs);
  const std::vector<const char*> order = probeOrder(names);
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(table.findSpec(order[i++ & 4095]));
  }
}

void unorderedMapFind(benchmark::State& state) {
  const std::vector<std::string> names = typeNames(static_cast<int>(state.range(0)));
  PeerMap<void*> map;
  for (const std::string& n : names) map.emplace(n, nullptr);
  const std::vector<const char*> order = probeOrder(names);
  std::size_t i = 0;
  for (auto _ : state) {
    auto found = map.find(std::string_view(order[i++ & 4095]));
    benchmark::DoNotOptimize(found);
  }
}

const char* const kVerbs[] = {"Create", "Update", "Delete"};

void isSubscribed(benchmark::State& state) {
  const std::vector<std::string> names = typeNames(static_cast<int>(state.range(0)));
  SubscriptionHandlerCPP handler;
  for (const std::string& n : names) {
    for (const char* verb : kVerbs) handler.subscribeTo(n.c_str(), verb);
  }
  const std::vector<const char*> order = probeOrder(names);
  std::size_t i = 0;
  for (auto _ : state) {
    const std::size_t k = i++;
    benchmark::DoNotOptimize(handler.isSubscribed(order[k & 4095], kVerbs[k % 3]));
  }
}

// What isSubscribed answers, from a map of names to their verbs.
bool mapSubscribed(const PeerMap<std::vector<std::string>>& map, const char* name,
                   const char* verb) {
  auto found = map.find(std::string_view(name));
  bool subscribed = false;
  if (found != map.end()) {
    for (const std::string& stored : found->second) {
      if (stored == verb || stored == "*") subscribed = true;
    }
  }
  return subscribed;
}

void unorderedMapSubscribed(benchmark::State& state) {
  const std::vector<std::string> names = typeNames(static_cast<int>(state.range(0)));
  PeerMap<std::vector<std::string>> map;
  for (const std::string& n : names) map[n] = {kVerbs[0], kVerbs[1], kVerbs[2]};
  const std::vector<const char*> order = probeOrder(names);
  std::size_t i = 0;
  for (auto _ : state) {
    const std::size_t k = i++;
    benchmark::DoNotOptimize(mapSubscribed(map, order[k & 4095], kVerbs[k % 3]));
  }
}

// Ours and the map in the same loop: a batch of 4096 lookups each, one after
// the other (thread CPU time), so that a change of load falls on both; the
// counters give the mean time per lookup and their ratio.
template <typename Ours, typename Peer>
void pairedBatches(benchmark::State& state, Ours&& ours, Peer&& peer) {
  double oursNs = 0, peerNs = 0;
  for (auto _ : state) {
    const double t0 = threadCpuNanos();
    for (std::size_t k = 0; k < 4096; ++k) ours(k);
    const double t1 = threadCpuNanos();
    for (std::size_t k = 0; k < 4096; ++k) peer(k);
    const double t2 = threadCpuNanos();
    oursNs += t1 - t0;
    peerNs += t2 - t1;
  }
  const double n = static_cast<double>(state.iterations()) * 4096;
  state.counters["ours_ns"] = oursNs / n;
  state.counters["map_ns"] = peerNs / n;
  state.counters["ratio"] = oursNs / peerNs;
}

void pairedRegistryFind(benchmark::State& state) {
  const std::vector<std::string> names = typeNames(static_cast<int>(state.range(0)));
  BusObjSpecTable table;
  std::vector<std::unique_ptr<BusObjSpec>> specs;
  addSpecs(names, table, specs);
  PeerMap<void*> map;
  for (std::size_t k = 0; k < names.size(); ++k) map.emplace(names[k], specs[k].get());
  const std::vector<const char*> order = probeOrder(names);
  pairedBatches(
      state, [&](std::size_t k) { benchmark::DoNotOptimize(table.findSpec(order[k & 4095])); },
      [&](std::size_t k) {
        auto found = map.find(std::string_view(order[k & 4095]));
        benchmark::DoNotOptimize(found);
      });
}

void pairedSubscribed(benchmark::State& state) {
  const std::vector<std::string> names = typeNames(static_cast<int>(state.range(0)));
  SubscriptionHandlerCPP handler;
  PeerMap<std::vector<std::string>> map;
  for (const std::string& n : names) {
    for (const char* verb : kVerbs) handler.subscribeTo(n.c_str(), verb);
    map[n] = {kVerbs[0], kVerbs[1], kVerbs[2]};
  }
  const std::vector<const char*> order = probeOrder(names);
  pairedBatches(
      state,
      [&](std::size_t k) {
        benchmark::DoNotOptimize(handler.isSubscribed(order[k & 4095], kVerbs[k % 3]));
      },
      [&](std::size_t k) {
        benchmark::DoNotOptimize(mapSubscribed(map, order[k & 4095], kVerbs[k % 3]));
      });
}

void registerAll() {
  for (Shape shape : kShapes) {
    benchmark::RegisterBenchmark(name("tokenize", "floor_memchr", shape).c_str(), floorDelimited,
                                 shape);
    benchmark::RegisterBenchmark(name("tokenize", "floor_prefixed", shape).c_str(),
                                 floorLengthPrefixed, shape);
    benchmark::RegisterBenchmark(name("parse", "simdjson", shape).c_str(), simdjsonParse, shape);
    benchmark::RegisterBenchmark(name("parse", "rapidjson", shape).c_str(), rapidjsonParse, shape);
    benchmark::RegisterBenchmark(name("write", "simdjson", shape).c_str(), simdjsonWrite, shape);
    benchmark::RegisterBenchmark(name("write", "rapidjson", shape).c_str(), rapidjsonWrite, shape);
    benchmark::RegisterBenchmark(name("read", "ours_delimited", shape).c_str(), oursRead, shape,
                                 false);
    benchmark::RegisterBenchmark(name("read", "ours_prefixed", shape).c_str(), oursRead, shape,
                                 true);
    benchmark::RegisterBenchmark(name("read", "ours_delimited_tree", shape).c_str(),
                                 oursReadFromMessage, shape, false);
    benchmark::RegisterBenchmark(name("read", "ours_prefixed_tree", shape).c_str(),
                                 oursReadFromMessage, shape, true);
    benchmark::RegisterBenchmark(name("write", "ours_delimited", shape).c_str(), oursWrite, shape,
                                 false);
    benchmark::RegisterBenchmark(name("write", "ours_prefixed", shape).c_str(), oursWrite, shape,
                                 true);
    benchmark::RegisterBenchmark(name("request", "ours_delimited", shape).c_str(), oursRequest,
                                 shape, false);
    benchmark::RegisterBenchmark(name("request", "ours_prefixed", shape).c_str(), oursRequest,
                                 shape, true);
  }
  for (Shape shape : {Shape::kM, Shape::kL}) {
    for (bool lengthPrefixed : {false, true}) {
      for (bool withMessage : {false, true}) {
        const std::string label = std::string(lengthPrefixed ? "prefixed" : "delimited") +
                                  (withMessage ? "_message" : "_tree");
        benchmark::RegisterBenchmark(name("paired", label.c_str(), shape).c_str(), pairedRead,
                                     shape, lengthPrefixed, withMessage);
      }
    }
  }
  benchmark::RegisterBenchmark("memory/ours_delimited/L", treeMemory, false)->Iterations(3);
  benchmark::RegisterBenchmark("memory/ours_prefixed/L", treeMemory, true)->Iterations(3);
  const char* opNames[] = {"markVerbsAgainst", "mergeDelta", "applyDelta"};
  const TreeOp ops[] = {TreeOp::kMarkVerbs, TreeOp::kMerge, TreeOp::kApply};
  const int64_t maxChildren = std::getenv("HB_BENCH_MAX_CHILDREN") != nullptr
                                  ? std::atoll(std::getenv("HB_BENCH_MAX_CHILDREN"))
                                  : 100000;
  for (int k = 0; k < 3; ++k) {
    for (int64_t n : {1000, 10000, 100000}) {
      if (n > maxChildren) continue;
      benchmark::RegisterBenchmark((std::string("tree/") + opNames[k]).c_str(), treeOperation,
                                   ops[k])
          ->Arg(n)
          ->Unit(benchmark::kMillisecond)
          ->MinTime(0.2);
    }
  }
  for (int64_t n : {1000, 10000, 100000}) {
    if (n > maxChildren) continue;
    benchmark::RegisterBenchmark("tree/unordered_map_match", treeMatchPeer)
        ->Arg(n)
        ->Unit(benchmark::kMillisecond)
        ->MinTime(0.2);
  }
  for (int64_t n : {10, 1000}) {
    benchmark::RegisterBenchmark("lookup/registry", registryFind)->Arg(n);
    benchmark::RegisterBenchmark("lookup/unordered_map", unorderedMapFind)->Arg(n);
    benchmark::RegisterBenchmark("subscribed/ours", isSubscribed)->Arg(n);
    benchmark::RegisterBenchmark("subscribed/unordered_map", unorderedMapSubscribed)->Arg(n);
    benchmark::RegisterBenchmark("paired_lookup/registry", pairedRegistryFind)->Arg(n);
    benchmark::RegisterBenchmark("paired_lookup/subscribed", pairedSubscribed)->Arg(n);
  }
}

}  // namespace
}  // namespace hbbench

int main(int argc, char** argv) {
  hbbench::checkRoundTrips();
  hbbench::registerAll();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
