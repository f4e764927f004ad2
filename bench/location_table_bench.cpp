// palvexd's location table at fleet scale: the time to load a 1,000,000-line table file (900,000
// IPv4 and 100,000 IPv6 prefixes of mixed lengths, nesting as real tables do) and the cost of
// one longest-prefix lookup, from binary addresses and from the address text the service holds.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include "server/GeoDatabases.h"
#include "server/LocationTable.h"

namespace {

constexpr size_t kV4Prefixes = 900000;
constexpr size_t kV6Prefixes = 100000;

// Writes the table once per process; returns its path.
const std::string& TableFile() {
  static const std::string path = [] {
    char name[] = "/tmp/palvexd-table-XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0)
      std::abort();
    FILE* out = fdopen(fd, "w");
    std::mt19937_64 rng(7);
    std::unordered_set<uint64_t> seen;
    char address[INET6_ADDRSTRLEN];
    while (seen.size() < kV4Prefixes) {
      int length = 8 + static_cast<int>(rng() % 25);  // /8 .. /32, so that many nest
      uint32_t start = static_cast<uint32_t>(rng()) & (~uint32_t{0} << (32 - length));
      if (!seen.insert((uint64_t{start} << 8) | static_cast<uint64_t>(length)).second)
        continue;
      in_addr a;
      a.s_addr = htonl(start);
      inet_ntop(AF_INET, &a, address, sizeof(address));
      std::fprintf(out, "%s/%d %u %u %u %u\n", address, length, unsigned(rng() % 250),
                   unsigned(rng() % 100), unsigned(rng() % 10000), unsigned(rng() % 20));
    }
    seen.clear();
    while (seen.size() < kV6Prefixes) {
      int length = 32 + static_cast<int>(rng() % 33);  // /32 .. /64 under 2000::/4
      uint64_t high = (rng() & 0x0fffffffffffffffULL) | 0x2000000000000000ULL;
      high &= ~uint64_t{0} << (64 - length);
      if (!seen.insert(high ^ static_cast<uint64_t>(length)).second)
        continue;
      unsigned char bytes[16] = {};
      for (int i = 0; i < 8; ++i)
        bytes[i] = static_cast<unsigned char>(high >> (56 - 8 * i));
      inet_ntop(AF_INET6, bytes, address, sizeof(address));
      std::fprintf(out, "%s/%d %u %u %u %u\n", address, length, unsigned(rng() % 250),
                   unsigned(rng() % 100), unsigned(rng() % 10000), unsigned(rng() % 20));
    }
    std::fclose(out);
    return std::string(name);
  }();
  return path;
}

const palvexd::LocationTable& Table() {
  static const palvexd::LocationTable* table = [] {
    auto* t = new palvexd::LocationTable;
    std::string error;
    if (!t->Load(TableFile(), &error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      std::abort();
    }
    return t;
  }();
  return *table;
}

void BM_LoadMillionLineTable(benchmark::State& state) {
  const std::string& path = TableFile();
  size_t prefixes = 0;
  for (auto _ : state) {
    palvexd::LocationTable table;
    std::string error;
    if (!table.Load(path, &error))
      state.SkipWithError(error.c_str());
    prefixes = table.prefixes();
  }
  state.counters["prefixes"] = static_cast<double>(prefixes);
}
BENCHMARK(BM_LoadMillionLineTable)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_LookupV4(benchmark::State& state) {
  const palvexd::LocationTable& table = Table();
  std::mt19937 rng(11);
  std::vector<uint32_t> addresses(1 << 16);
  for (uint32_t& a : addresses)
    a = static_cast<uint32_t>(rng());
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(table.LookupV4(addresses[i++ & 0xffff]));
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_LookupV4);

void BM_LookupV6(benchmark::State& state) {
  const palvexd::LocationTable& table = Table();
  std::mt19937 rng(13);
  std::vector<std::array<unsigned char, 16>> addresses(1 << 16);
  for (auto& a : addresses) {
    for (auto& b : a)
      b = static_cast<unsigned char>(rng());
    a[0] = static_cast<unsigned char>(0x20 | (a[0] & 0x0f));
  }
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(table.LookupV6(addresses[i++ & 0xffff].data()));
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_LookupV6);

// What a request costs: the peer's address text parsed, then looked up.
void BM_LookupText(benchmark::State& state) {
  const palvexd::LocationTable& table = Table();
  std::mt19937 rng(17);
  std::vector<std::string> addresses(1 << 12);
  for (std::string& a : addresses) {
    in_addr v;
    v.s_addr = static_cast<uint32_t>(rng());
    a = inet_ntoa(v);
  }
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(table.Lookup(addresses[i++ & 0xfff]));
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_LookupText);

// The same request's cost with the databases answering: a city and an ASN database of 65,536
// IPv4 /24 networks each (written once by the tests' MMDB writer), with their maps.
const palvexd::GeoDatabases* Databases() {
  static const palvexd::GeoDatabases* geo = []() -> const palvexd::GeoDatabases* {
    const std::string dir = "/tmp/palvexd-mmdb-bench";
    const std::string city = dir + "/city.mmdb", asn = dir + "/asn.mmdb";
    const std::string maps[3] = {dir + "/province.txt", dir + "/city.txt", dir + "/isp.txt"};
    std::string make =
        "mkdir -p " + dir + " && python3 -c '" +
        "import json,sys\n"
        "k=sys.argv[1]\n"
        "r=[{\"network\":\"%d.%d.%d.0/24\"%(100+i//65536,i//256%256,i%256),\"data\":"
        "({\"country\":{\"iso_code\":\"CN\"},\"subdivisions\":[{\"iso_code\":\"BJ\"}],"
        "\"city\":{\"geoname_id\":i}} if k==\"City\" else "
        "{\"autonomous_system_number\":i%5000})} for i in range(65536)]\n"
        "print(json.dumps({\"type\":k,\"records\":r}))' ";
    const std::string writer =
        std::string(" | perl ") + PALVEX_SOURCE_DIR "/tests/e2e/make_mmdb.pl ";
    std::string command = make + "City" + writer + city + " && " + make + "ASN" + writer + asn +
                          " && echo 'CN-BJ 11' >" + maps[0] +
                          " && seq 0 65535 | sed 's/.*/& 1101/' >" + maps[1] +
                          " && seq 0 4999 | sed 's/.*/AS& 2/' >" + maps[2];
    if (std::system(command.c_str()) != 0)
      return nullptr;
    auto* databases = new palvexd::GeoDatabases;
    std::string error;
    if (!databases->Load({city, asn, maps[0], maps[1], maps[2], PALVEXD_ISO_3166_FILE}, &error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return nullptr;
    }
    return databases;
  }();
  return geo;
}

void BM_LookupTextInDatabases(benchmark::State& state) {
  const palvexd::GeoDatabases* geo = Databases();
  if (geo == nullptr) {
    state.SkipWithError("cannot write the databases (libmaxmind-db-writer-perl missing?)");
    return;
  }
  std::mt19937 rng(19);
  std::vector<std::string> addresses(1 << 12);
  for (std::string& a : addresses)
    a = "100." + std::to_string(rng() % 256) + "." + std::to_string(rng() % 256) + ".7";
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(geo->Lookup(addresses[i++ & 0xfff]));
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_LookupTextInDatabases);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  unlink(TableFile().c_str());
  return 0;
}
