// A tight, single-threaded, textbook A* for the 15-puzzle: the speed that a
// classical solver with a cheap heuristic reaches on this hardware, for
// comparison with the batched, learned-heuristic solver.
//
//   g++ -O3 -march=native -std=c++20 bench/classical_astar.cpp -o classical_astar
//   classical_astar < states.txt
//
// Input: one state per line, 16 integers (0 is the blank, goal 1..15 then 0,
// row-major). Output: one JSON line per state,
//   {"length": L, "nodes_generated": N, "nodes_expanded": E, "seconds": S}
// where N counts every legal successor of every expanded node, duplicates and
// the parent itself included (off-board moves do not exist here, so they are
// not counted), and S times the search alone, table allocation included.
// Weight 1 with Manhattan distance (admissible and consistent) gives optimal L.

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <sys/mman.h>

namespace {

constexpr int kSide = 4, kCells = 16;
// f and g never exceed the optimum + 2 <= 82 for the 15-puzzle (optimum <= 80).
constexpr int kMaxCost = 128;

using State = std::uint64_t;  // 4 bits per cell, cell p at bits 4p..4p+3

int tileAt(State s, int p) { return static_cast<int>((s >> (4 * p)) & 15u); }

// The blank is the one all-zero nibble: OPEN then holds 8 bytes a node.
int blankOf(State s) {
  State any = s | s >> 1 | s >> 2 | s >> 3;
  return __builtin_ctzll(~any & 0x1111111111111111ull) / 4;
}

struct Tables {
  std::array<std::array<int, kCells>, kCells> manhattan{};  // [tile][cell]
  std::array<std::array<int, 4>, kCells> neighbours{};      // -1 ends the list
  Tables() {
    for (int t = 1; t < kCells; ++t)
      for (int p = 0; p < kCells; ++p)
        manhattan[t][p] = std::abs(p / kSide - (t - 1) / kSide) + std::abs(p % kSide - (t - 1) % kSide);
    for (int p = 0; p < kCells; ++p) {
      int n = 0;
      neighbours[p].fill(-1);
      if (p >= kSide) neighbours[p][n++] = p - kSide;
      if (p < kCells - kSide) neighbours[p][n++] = p + kSide;
      if (p % kSide > 0) neighbours[p][n++] = p - 1;
      if (p % kSide < kSide - 1) neighbours[p][n++] = p + 1;
    }
  }
};

// Zeroed memory from the kernel, in 2 MiB pages where it allows: the table is
// probed at random, and with 4 KiB pages most probes would also miss the TLB.
void* zeroedPages(std::size_t bytes) {
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) {
    std::perror("mmap");
    std::exit(4);
  }
  madvise(p, bytes, MADV_HUGEPAGE);  // advice only: refused, the pages stay small
  return p;
}

// Open addressing on the packed state, keeping the best g seen. Keys and g
// live apart so that the key array stays dense (8 bytes a slot, not 16).
// No valid state packs to 0 (fifteen cells are non-zero): 0 marks a free slot.
class Visited {
 public:
  explicit Visited(int log2_slots) { allocate(log2_slots); }
  Visited(const Visited&) = delete;
  Visited& operator=(const Visited&) = delete;
  ~Visited() { release(keys_, g_, mask_ + 1); }

  // Records g for s when s is new or g improves on it; false otherwise.
  bool improve(State s, int g) {
    std::size_t i = find(s);
    if (keys_[i] == s && g_[i] <= g) return false;
    if (keys_[i] != s && ++size_ * 2 > mask_) {
      grow();
      i = find(s);
    }
    keys_[i] = s;
    g_[i] = static_cast<std::uint8_t>(g);
    return true;
  }

  int best(State s) const { return g_[find(s)]; }

  void prefetch(State s) const { __builtin_prefetch(&keys_[home(s)]); }

 private:
  // Fibonacci hashing: the top bits of the product depend on every tile.
  std::size_t home(State s) const { return (s * 0x9E3779B97F4A7C15ull) >> shift_; }

  std::size_t find(State s) const {
    std::size_t i = home(s);
    while (keys_[i] != 0 && keys_[i] != s) i = (i + 1) & mask_;
    return i;
  }

  void allocate(int log2_slots) {
    std::size_t slots = std::size_t{1} << log2_slots;
    keys_ = static_cast<State*>(zeroedPages(slots * sizeof(State)));
    g_ = static_cast<std::uint8_t*>(zeroedPages(slots));
    mask_ = slots - 1;
    shift_ = 64 - log2_slots;
  }

  static void release(State* keys, std::uint8_t* g, std::size_t slots) {
    munmap(keys, slots * sizeof(State));
    munmap(g, slots);
  }

  void grow() {
    State* keys = keys_;
    std::uint8_t* g = g_;
    std::size_t slots = mask_ + 1;
    allocate(65 - shift_);
    for (std::size_t j = 0; j < slots; ++j)
      if (keys[j] != 0) {
        std::size_t i = find(keys[j]);
        keys_[i] = keys[j];
        g_[i] = g[j];
      }
    release(keys, g, slots);
  }

  State* keys_ = nullptr;
  std::uint8_t* g_ = nullptr;
  std::size_t mask_ = 0, size_ = 0;
  int shift_ = 0;
};

struct Result {
  int length = -1;
  std::uint64_t generated = 0, expanded = 0;
};

Result search(const Tables& t, State start, int h0) {
  constexpr State kGoal = 0x0FEDCBA987654321ull;
  // OPEN: one LIFO stack per (f, g); the smallest f first, the largest g
  // among equal f, so the search dives towards the goal on ties.
  std::vector<std::vector<State>> open(kMaxCost * kMaxCost);
  std::array<int, kMaxCost> top_g{};  // largest g ever pushed at each f
  auto bucket = [&](int f, int g) -> std::vector<State>& { return open[f * kMaxCost + g]; };
  Visited visited(20);  // 8 MiB of keys; grows by doubling at half full
  visited.improve(start, 0);
  bucket(h0, 0).push_back(start);
  Result r;
  int f = h0, g = 0;
  for (;;) {
    while (bucket(f, g).empty()) {
      if (g > 0) {
        --g;
      } else if (++f < kMaxCost) {
        g = top_g[f];
      } else {
        return r;  // OPEN exhausted: cannot happen for a solvable state
      }
    }
    State state = bucket(f, g).back();
    bucket(f, g).pop_back();
    if (visited.best(state) != g) continue;  // superseded by a shorter path
    if (state == kGoal) {
      r.length = g;
      return r;
    }
    if (f + 2 >= kMaxCost) {  // a child's f is f or f + 2, and its g at most f + 1
      std::fprintf(stderr, "cost bound exceeded\n");
      std::exit(3);
    }
    ++r.expanded;
    // Children first, then their probes: the prefetches overlap the misses.
    std::array<State, 4> children;
    std::array<int, 4> costs;
    int n = 0, blank = blankOf(state);
    for (; n < 4 && t.neighbours[blank][n] >= 0; ++n) {
      int target = t.neighbours[blank][n], tile = tileAt(state, target);
      children[n] = (state & ~(State{15} << (4 * target))) | static_cast<State>(tile) << (4 * blank);
      costs[n] = f + 1 + t.manhattan[tile][blank] - t.manhattan[tile][target];
      visited.prefetch(children[n]);
    }
    r.generated += n;
    for (int k = 0; k < n; ++k) {
      if (!visited.improve(children[k], g + 1)) continue;
      bucket(costs[k], g + 1).push_back(children[k]);
      if (g + 1 > top_g[costs[k]]) top_g[costs[k]] = g + 1;
    }
    g = top_g[f];  // children at this f lie one deeper: pop them next
  }
}

// Parses 16 cells; empty string when valid, else why not.
std::string parse(const std::string& line, const Tables& t, State& s, int& blank, int& h) {
  std::istringstream in(line);
  std::array<int, kCells> cells{};
  int seen = 0;
  for (int& c : cells)
    if (!(in >> c)) return "expected 16 integers";
  std::string rest;
  if (in >> rest) return "more than 16 values";
  s = 0;
  h = 0;
  for (int p = 0; p < kCells; ++p) {
    int c = cells[p];
    if (c < 0 || c >= kCells || (seen >> c & 1)) return "not a permutation of 0..15";
    seen |= 1 << c;
    s |= static_cast<State>(c) << (4 * p);
    if (c == 0) blank = p;
    else h += t.manhattan[c][p];
  }
  // Solvable iff the permutation's parity (blank as tile 16) equals the parity
  // of the blank's distance to its goal cell; otherwise A* would never end.
  int inversions = 0;
  for (int i = 0; i < kCells; ++i)
    for (int j = i + 1; j < kCells; ++j)
      inversions += ((cells[i] ? cells[i] : 16) > (cells[j] ? cells[j] : 16));
  int blank_distance = (kSide - 1 - blank / kSide) + (kSide - 1 - blank % kSide);
  if ((inversions + blank_distance) % 2 != 0) return "unsolvable state (wrong parity)";
  return {};
}

}  // namespace

int main() {
  Tables tables;
  std::string line;
  int line_number = 0;
  while (std::getline(std::cin, line)) {
    ++line_number;
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    State s = 0;
    int blank = 0, h = 0;
    if (std::string error = parse(line, tables, s, blank, h); !error.empty()) {
      std::fprintf(stderr, "line %d: %s\n", line_number, error.c_str());
      return 2;
    }
    auto begin = std::chrono::steady_clock::now();
    Result r = search(tables, s, h);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    std::printf("{\"length\": %d, \"nodes_generated\": %llu, \"nodes_expanded\": %llu, \"seconds\": %.6f}\n",
                r.length, static_cast<unsigned long long>(r.generated),
                static_cast<unsigned long long>(r.expanded), seconds);
    std::fflush(stdout);
  }
  return 0;
}
