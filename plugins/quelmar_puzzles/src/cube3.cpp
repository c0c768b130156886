#include <algorithm>
#include <array>
#include <stdexcept>
#include <string>

#include "quelmar_puzzles/puzzles.h"

namespace quelmar_puzzles {
namespace {

constexpr int kStickers = 54;
constexpr int kColours = 6;
constexpr int kMoves = 12;
using MoveTable = std::array<std::array<uint8_t, kStickers>, kMoves>;

// Geometry behind the tables: x points to R, y to U, z to F. A sticker sits
// at normal + (col-1)*right + (row-1)*down of its face (see the header for
// which neighbour each face's rows and columns start at).
struct Vec {
  int x, y, z;
  constexpr bool operator==(const Vec&) const = default;
};
constexpr Vec add(Vec a, Vec b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
constexpr Vec sub(Vec a, Vec b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
constexpr Vec scale(int k, Vec a) { return {k * a.x, k * a.y, k * a.z}; }
constexpr int dot(Vec a, Vec b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
constexpr Vec cross(Vec a, Vec b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

//                               U         R          F         D          L          B
constexpr Vec kNormal[6] = {{0, 1, 0}, {1, 0, 0},  {0, 0, 1}, {0, -1, 0}, {-1, 0, 0}, {0, 0, -1}};
constexpr Vec kRight[6] = {{1, 0, 0}, {0, 0, -1}, {1, 0, 0}, {1, 0, 0},  {0, 0, 1},  {-1, 0, 0}};
constexpr Vec kDown[6] = {{0, 0, 1}, {0, -1, 0}, {0, -1, 0}, {0, 0, -1}, {0, -1, 0}, {0, -1, 0}};

constexpr int stickerIndex(Vec position, Vec normal) {
  for (int face = 0; face < 6; ++face) {
    if (!(kNormal[face] == normal)) continue;
    const Vec offset = sub(position, normal);
    return face * 9 + (dot(offset, kDown[face]) + 1) * 3 + (dot(offset, kRight[face]) + 1);
  }
  throw "sticker normal is not a face normal";  // unreachable; fails constant evaluation
}

// Quarter turn about axis n: clockwise as seen from outside (from +n) is a
// rotation by -90 degrees, v -> n (n.v) - n x v.
constexpr Vec turn(Vec v, Vec n, bool clockwise) {
  const Vec c = cross(n, v);
  return add(scale(dot(n, v), n), clockwise ? scale(-1, c) : c);
}

constexpr MoveTable buildMoveTable() {
  MoveTable table{};
  for (int move = 0; move < kMoves; ++move) {
    const Vec axis = kNormal[move / 2];
    const bool clockwise = move % 2 == 0;
    for (int i = 0; i < kStickers; ++i) table[move][i] = static_cast<uint8_t>(i);
    for (int i = 0; i < kStickers; ++i) {
      const int face = i / 9, row = (i % 9) / 3, col = i % 3;
      const Vec normal = kNormal[face];
      const Vec position =
          add(normal, add(scale(col - 1, kRight[face]), scale(row - 1, kDown[face])));
      if (dot(position, axis) != 1) continue;  // not in the turning layer
      const int dest = stickerIndex(turn(position, axis, clockwise), turn(normal, axis, clockwise));
      table[move][dest] = static_cast<uint8_t>(i);
    }
  }
  return table;
}

constexpr MoveTable kMoveTable = buildMoveTable();

class Cube3 final : public quelmar::Environment {
 public:
  explicit Cube3(std::vector<uint8_t> stickers) : stickers_(std::move(stickers)) {}

  std::unique_ptr<quelmar::Environment> next_state(int move) const override {
    if (move < 0 || move >= kMoves)
      throw std::out_of_range("cube3 move " + std::to_string(move) + " is outside 0..11");
    return child(move);
  }

  std::vector<std::unique_ptr<quelmar::Environment>> expand() const override {
    std::vector<std::unique_ptr<quelmar::Environment>> children;
    children.reserve(kMoves);
    for (int move = 0; move < kMoves; ++move) children.push_back(child(move));
    return children;
  }

  const std::vector<uint8_t>& state_bytes() const override { return stickers_; }

  bool is_solved() const override {
    for (int i = 0; i < kStickers; ++i)
      if (stickers_[i] != i / 9) return false;
    return true;
  }

  int num_moves() const override { return kMoves; }

  std::size_t input_size() const override { return kStickers * kColours; }

  void write_inputs(float* dst) const override {
    std::fill(dst, dst + input_size(), 0.0f);
    for (int i = 0; i < kStickers; ++i) dst[i * kColours + stickers_[i]] = 1.0f;
  }

 private:
  std::unique_ptr<quelmar::Environment> child(int move) const {
    std::vector<uint8_t> next(kStickers);
    const auto& perm = kMoveTable[move];
    for (int i = 0; i < kStickers; ++i) next[i] = stickers_[perm[i]];
    return std::make_unique<Cube3>(std::move(next));
  }

  std::vector<uint8_t> stickers_;
};

}  // namespace

const std::array<std::array<uint8_t, 54>, 12>& cube_move_table() { return kMoveTable; }

std::unique_ptr<quelmar::Environment> make_cube3(const std::vector<uint8_t>& state) {
  if (state.size() != kStickers)
    throw std::invalid_argument("cube3: state must have 54 bytes, got " +
                                std::to_string(state.size()));
  std::array<int, kColours> counts{};
  for (int i = 0; i < kStickers; ++i) {
    if (state[i] >= kColours)
      throw std::invalid_argument("cube3: colour " + std::to_string(state[i]) +
                                  " of sticker " + std::to_string(i) + " is outside 0..5");
    ++counts[state[i]];
  }
  for (int colour = 0; colour < kColours; ++colour)
    if (counts[colour] != 9)
      throw std::invalid_argument("cube3: colour " + std::to_string(colour) + " appears " +
                                  std::to_string(counts[colour]) +
                                  " times; each colour must appear exactly 9 times");
  return std::make_unique<Cube3>(state);
}

}  // namespace quelmar_puzzles
