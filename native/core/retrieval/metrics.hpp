// Ranking metrics of one query's retrieved list against graded judgements,
// all cutoffs in one pass over the list. Grades come from the judgements,
// looked up per retrieved document (no queries x documents matrix).
//
// Per cutoff k (ranks 1..k of the list):
//   precision   relevant in the top k / k
//   recall      relevant in the top k / relevant judged for the query
//   ndcg        DCG@k / ideal DCG@k, DCG = sum of gain(grade_i) / log2(i + 1);
//               gain = grade (linear) or 2^grade - 1 (exponential), grades
//               below 0 count as 0
//   mrr         1 / rank of the first relevant in the top k, else 0
//   map         sum of precision@i over the relevant ranks i <= k
//               / relevant judged for the query
//   hit_rate    1 when the top k hold a relevant document, else 0
//   graded_precision  sum of grades in the top k / (highest grade of all
//               judgements x k)
//   graded_recall     sum of grades in the top k / the highest sum any k
//               documents could reach for the query (NaN when that is 0)
//   graded_f1   harmonic mean of the two graded values of the query
// "Relevant" is a grade above the threshold. A document repeated in the list
// counts only at its first rank, except in the graded values, which count
// every entry. Queries with nothing relevant score 0 in the binary metrics.
// R-precision: relevant in the top R / R, R = relevant judged for the query
// (0 when R is 0); ranks past the end of the list count as not relevant.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include "core/retrieval/retrieval.hpp"

namespace tavrin::retrieval {

enum class Gain { Linear, Exponential };

struct MetricSettings {
    double threshold = 0.0;
    Gain gain = Gain::Linear;
};

inline constexpr std::array<const char *, 9> cutoff_metric_names = {
    "precision", "recall", "ndcg", "mrr", "map", "hit_rate", "graded_precision", "graded_recall", "graded_f1"};
inline constexpr std::size_t n_cutoff_metrics = cutoff_metric_names.size();

class RankingScorer {
public:
    // `cutoffs`: positive and ascending.
    RankingScorer(const Judgements &judgements, std::vector<std::size_t> cutoffs, MetricSettings settings);

    // Scores the ranking of `query` (document positions of the judgements,
    // npos for a document they do not know). Writes cutoffs().size() rows of
    // n_cutoff_metrics values to per_cutoff. Returns the R-precision.
    // `scratch` is working space that calls may share.
    double score(std::size_t query, const std::size_t *ranking, std::size_t n, double *per_cutoff,
                 std::vector<std::size_t> &scratch) const;

    const std::vector<std::size_t> &cutoffs() const noexcept { return cutoffs_; }
    // Documents judged relevant for the query.
    std::size_t relevant(std::size_t query) const noexcept { return relevant_[query]; }
    double gain(double grade) const noexcept;

private:
    const Judgements &judgements_;
    std::vector<std::size_t> cutoffs_;
    MetricSettings settings_;
    std::vector<std::size_t> relevant_;   // per query
    std::vector<double> ideal_dcg_;       // per query x cutoff
    std::vector<double> ideal_graded_;    // per query x cutoff
};

} // namespace tavrin::retrieval
