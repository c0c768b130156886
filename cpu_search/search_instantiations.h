#pragma once
// The 32 storage-width combinations of the CPU search (path, heuristic,
// total, open, closed cost; each float or double). Each search_widths_*.cpp
// instantiates eight of them so the work spreads over several translation
// units.

#define QUELMAR_SEARCH_WIDTHS_FOR(X, P, H)                                     \
  X(P, H, float, float, float) X(P, H, float, float, double)                   \
  X(P, H, float, double, float) X(P, H, float, double, double)                 \
  X(P, H, double, float, float) X(P, H, double, float, double)                 \
  X(P, H, double, double, float) X(P, H, double, double, double)

#define QUELMAR_FOR_EACH_SEARCH_WIDTHS(X)        \
  QUELMAR_SEARCH_WIDTHS_FOR(X, float, float)     \
  QUELMAR_SEARCH_WIDTHS_FOR(X, float, double)    \
  QUELMAR_SEARCH_WIDTHS_FOR(X, double, float)    \
  QUELMAR_SEARCH_WIDTHS_FOR(X, double, double)

#define QUELMAR_SEARCH_SIGNATURE(P, H, T, O, C)                                            \
  SearchResult parallelWeightedAStarImpl<P, H, T, O, C>(std::unique_ptr<Environment> start, \
                                                        const AOTIManifest& manifest,       \
                                                        const SolverSettings& settings);

#define QUELMAR_DECLARE_SEARCH(P, H, T, O, C) extern template QUELMAR_SEARCH_SIGNATURE(P, H, T, O, C)
#define QUELMAR_INSTANTIATE_SEARCH(P, H, T, O, C) template QUELMAR_SEARCH_SIGNATURE(P, H, T, O, C)
