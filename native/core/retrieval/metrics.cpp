#include "core/retrieval/metrics.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <stdexcept>
#include <utility>

namespace tavrin::retrieval {

double RankingScorer::gain(double grade) const noexcept {
    if (!(grade > 0.0))
        return 0.0;
    return settings_.gain == Gain::Linear ? grade : std::exp2(grade) - 1.0;
}

RankingScorer::RankingScorer(const Judgements &judgements, std::vector<std::size_t> cutoffs, MetricSettings settings)
    : judgements_(judgements), cutoffs_(std::move(cutoffs)), settings_(settings) {
    for (std::size_t i = 0; i < cutoffs_.size(); ++i)
        if (cutoffs_[i] == 0 || (i > 0 && cutoffs_[i] <= cutoffs_[i - 1]))
            throw std::invalid_argument("cutoffs must be positive and ascending");
    std::size_t nq = judgements.num_queries(), nk = cutoffs_.size(), nd = judgements.num_docs();
    relevant_.assign(nq, 0);
    ideal_dcg_.assign(nq * nk, 0.0);
    ideal_graded_.assign(nq * nk, 0.0);
    // each query's grades, grouped by query (counting sort)
    const std::vector<Judgements::Cell> &cells = judgements.cells();
    std::vector<std::size_t> start(nq + 1, 0);
    for (const Judgements::Cell &c : cells)
        ++start[c.query + 1];
    for (std::size_t q = 0; q < nq; ++q)
        start[q + 1] += start[q];
    std::vector<double> grades(cells.size());
    {
        std::vector<std::size_t> fill(start.begin(), start.end() - 1);
        for (const Judgements::Cell &c : cells)
            grades[fill[c.query]++] = c.score;
    }
    std::size_t deepest = nk ? cutoffs_.back() : 0;
    for (std::size_t q = 0; q < nq; ++q) {
        auto first = grades.begin() + static_cast<std::ptrdiff_t>(start[q]);
        auto last = grades.begin() + static_cast<std::ptrdiff_t>(start[q + 1]);
        std::size_t judged = static_cast<std::size_t>(last - first);
        for (auto it = first; it != last; ++it)
            relevant_[q] += *it > settings_.threshold ? 1 : 0;
        // the best `deepest` grades, best first (gains are monotone in the grade)
        std::size_t head = std::min(deepest, judged);
        std::partial_sort(first, first + static_cast<std::ptrdiff_t>(head), last, std::greater<double>());
        // ideal DCG: the best grades at the top ranks
        double dcg = 0.0;
        std::size_t i = 0;
        for (std::size_t c = 0; c < nk; ++c) {
            for (; i < cutoffs_[c] && i < head; ++i)
                dcg += gain(first[static_cast<std::ptrdiff_t>(i)]) / std::log2(static_cast<double>(i) + 2.0);
            ideal_dcg_[q * nk + c] = dcg;
        }
        // ideal graded sum: the row's k best entries, where unjudged documents
        // count 0 and so rank above negative grades
        std::size_t zeros = nd - judged;
        double sum = 0.0;
        std::size_t taken = 0, j = 0;
        for (std::size_t c = 0; c < nk; ++c) {
            std::size_t k = std::min(cutoffs_[c], nd);
            for (; taken < k; ++taken) {
                if (j < head && (first[static_cast<std::ptrdiff_t>(j)] >= 0.0 || zeros == 0))
                    sum += first[static_cast<std::ptrdiff_t>(j++)];
                else
                    --zeros;
            }
            ideal_graded_[q * nk + c] = sum;
        }
    }
}

double RankingScorer::score(std::size_t query, const std::size_t *ranking, std::size_t n, double *out,
                            std::vector<std::size_t> &seen) const {
    std::size_t nk = cutoffs_.size();
    double n_rel = static_cast<double>(relevant_[query]);
    double max_score = judgements_.max_score();
    std::size_t hits = 0, hits_at_r = 0;
    double first_rr = 0.0, ap_sum = 0.0, dcg = 0.0, graded = 0.0;
    std::size_t c = 0;
    std::size_t depth = std::max(n, relevant_[query]);
    // documents seen so far, to count a repeated one only once
    seen.clear();
    auto emit = [&](std::size_t k) {
        double *row = out + c * n_cutoff_metrics;
        double kd = static_cast<double>(k);
        double idcg = ideal_dcg_[query * nk + c];
        double ideal = ideal_graded_[query * nk + c];
        double gp = max_score * kd == 0.0 ? 0.0 : graded / (max_score * kd);
        double gr = ideal == 0.0 ? std::numeric_limits<double>::quiet_NaN() : graded / ideal;
        row[0] = static_cast<double>(hits) / kd;
        row[1] = n_rel == 0.0 ? 0.0 : static_cast<double>(hits) / n_rel;
        row[2] = idcg == 0.0 ? 0.0 : dcg / idcg;
        row[3] = first_rr;
        row[4] = n_rel == 0.0 ? 0.0 : ap_sum / n_rel;
        row[5] = hits > 0 ? 1.0 : 0.0;
        row[6] = gp;
        row[7] = gr;
        row[8] = std::isnan(gr) ? gr : f1(gp, gr);
    };
    for (std::size_t i = 0; i < depth && (c < nk || i < relevant_[query]); ++i) {
        std::size_t doc = i < n ? ranking[i] : npos;
        double grade = doc == npos ? 0.0 : judgements_.score(query, doc);
        bool repeated = doc != npos && std::find(seen.begin(), seen.end(), doc) != seen.end();
        if (doc != npos && !repeated)
            seen.push_back(doc);
        if (i < n)
            graded += grade;
        if (!repeated) {
            bool rel = grade > settings_.threshold;
            if (rel) {
                ++hits;
                if (first_rr == 0.0)
                    first_rr = 1.0 / static_cast<double>(i + 1);
                ap_sum += static_cast<double>(hits) / static_cast<double>(i + 1);
                if (i < relevant_[query])
                    ++hits_at_r;
            }
            dcg += gain(grade) / std::log2(static_cast<double>(i) + 2.0);
        }
        for (; c < nk && cutoffs_[c] == i + 1; ++c)
            emit(cutoffs_[c]);
    }
    // cutoffs beyond the list: nothing more was retrieved
    for (; c < nk; ++c)
        emit(cutoffs_[c]);
    return n_rel == 0.0 ? 0.0 : static_cast<double>(hits_at_r) / n_rel;
}

} // namespace tavrin::retrieval
