// The rewrite: from a first match on, each match's source replaced and the search resumed
// after its replacement. The reference asks the matcher for every match (Scanner::Next);
// the fast paths after a match (StepWalk, DenseRun, GapWalk) each take a stretch of text
// and hand back where they stopped, so any of them can be left out without changing the
// result.
#ifndef KAVEX_ENGINE_REWRITE_H
#define KAVEX_ENGINE_REWRITE_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "engine/DensePass.h"
#include "engine/Paths.h"
#include "engine/Platform.h"
#include "engine/RuleMatcher.h"
#include "engine/StepTable.h"

namespace kavex {

// Which fast paths a rewrite takes after a match.
struct RewritePaths {
    const uint32_t* steps = nullptr;  // the step table, for StepWalk and DenseRun
    bool stepWalk = false;
    bool densePass = false;
    bool matcherGaps = false;
    bool forced = false;
    // Every path where it pays: the library's own way, compiled with the choices above as
    // constants.
    bool automatic = false;

    static RewritePaths From(const PathChoice& choice, const uint32_t* steps) {
        RewritePaths paths;
        paths.steps = steps;
        paths.stepWalk = steps != nullptr && choice.Has(Path::kStepTable);
        paths.densePass = steps != nullptr && choice.Has(Path::kDensePass);
        paths.matcherGaps = choice.Has(Path::kMatcherGaps);
        paths.forced = choice.forced;
        const PathChoice all = PathChoice::Auto();
        paths.automatic = choice.enabled == all.enabled && !choice.forced;
        return paths;
    }
};

// The choices of RewritePaths as the rewrite reads them: constants for the library's own
// way, so that it pays nothing for the others.
template <bool kAutomatic>
struct PathFlags {
    const RewritePaths& paths;
    bool StepWalk() const { return kAutomatic ? paths.steps != nullptr : paths.stepWalk; }
    bool DensePass() const { return kAutomatic ? paths.steps != nullptr : paths.densePass; }
    bool MatcherGaps() const { return kAutomatic || paths.matcherGaps; }
    bool Forced() const { return !kAutomatic && paths.forced; }
};

// Units that start nothing passed one at a time between one-unit matches before the rest
// is left to the matcher's block test.
constexpr std::size_t kShortGap = 4;

// Without the step table: from cursor.p, one-unit matches taken as the matcher's StepAt
// names them, with up to kShortGap units that start nothing between them. Returns as
// StepWalk does.
template <typename Units, typename Rules, typename Sink>
KAVEX_ALWAYS_INLINE bool GapWalk(const Units& text, std::size_t limit, const Rules& list,
                                 const RuleMatcher::Scanner<Units>& scanner, Sink& sink,
                                 RewriteCursor& cursor, bool forced) {
    const std::size_t ruleCount = list.Count();
    std::size_t copied = cursor.copied;
    std::size_t p = cursor.p;
    KAVEX_DCHECK(copied <= p && p < limit);
    for (;;) {
        const int32_t step = scanner.StepAt(p);
        if (step >= 0 && static_cast<std::size_t>(step) < ruleCount) {
            const uint16_t rule = static_cast<uint16_t>(step);
            KAVEX_DCHECK(list.SourceSize(rule) == 1);
            if (p != copied) sink.Copy(text, copied, p - copied);
            sink.Put(list.Replacement(rule), list.ReplacementSize(rule));
            copied = p + 1;
        } else if (step != RuleMatcher::Scanner<Units>::kNothingStarts ||
                   (!forced && p - copied >= kShortGap)) {
            cursor.copied = copied;
            cursor.p = p;
            return true;
        }
        if (++p >= limit) {
            // Nothing starts in [copied, limit): written as it is.
            if (copied < limit) sink.Copy(text, copied, limit - copied);
            cursor.copied = std::max(copied, limit);
            return false;
        }
    }
}

template <bool kAutomatic, typename Units, typename Rules, typename Sink>
KAVEX_ALWAYS_INLINE std::size_t RewriteWithLocalSink(const Units& text, std::size_t length,
                                                     std::size_t limit, std::size_t copied,
                                                     RuleMatch match,
                                                     RuleMatcher::Scanner<Units>& scanner,
                                                     const Rules& list, Sink& sink,
                                                     const RewritePaths& rewritePaths) {
    KAVEX_DCHECK(copied <= limit && limit <= length);
    const PathFlags<kAutomatic> paths{rewritePaths};
    const std::size_t ruleCount = list.Count();
    const auto dense = [&](const RewriteCursor& at) {
        return paths.DensePass() ? DenseRun(text, at.p, limit, rewritePaths.steps, list.Units(),
                                            sink, paths.Forced())
                                 : at.p;
    };
    while (match.position >= 0 && static_cast<std::size_t>(match.position) < limit &&
           match.rule < ruleCount) {
        const std::size_t position = static_cast<std::size_t>(match.position);
        KAVEX_DCHECK(position >= copied && position + list.SourceSize(match.rule) <= length);
        RewriteCursor cursor{copied, position, position - copied <= kDenseGap};
        sink.Copy(text, copied, position - copied);
        sink.Put(list.Replacement(match.rule), list.ReplacementSize(match.rule));
        copied = position + list.SourceSize(match.rule);
        // A match that ends the text leaves nothing to search.
        if (copied >= length || copied >= limit) return copied;
        cursor.copied = cursor.p = copied;
        if (paths.StepWalk()) {
            if (!StepWalk(text, length, limit, rewritePaths.steps, list, scanner, sink, cursor,
                          paths.Forced(), dense)) {
                return cursor.copied;
            }
        } else {
            if (paths.DensePass() && (cursor.dense || paths.Forced())) {
                const std::size_t to = dense(cursor);
                if (to != cursor.p) {
                    KAVEX_DCHECK(to > cursor.p && to < limit);
                    cursor.copied = cursor.p = to;
                }
            }
            if (paths.MatcherGaps() &&
                !GapWalk(text, limit, list, scanner, sink, cursor, paths.Forced())) {
                return cursor.copied;
            }
        }
        copied = cursor.copied;
        match = scanner.Next(cursor.p);
    }
    const std::size_t end = std::max(copied, limit);
    sink.Copy(text, copied, end - copied);
    return end;
}

// The rewrite works on a sink of its own: one whose address never leaves the function stays
// in registers, while the caller's would be stored and reloaded around every call into the
// matcher (a few percent on text with a match every few units).
template <bool kAutomatic, typename Units, typename Rules, typename Sink>
std::size_t RewriteOn(const Units& text, std::size_t length, std::size_t limit, std::size_t copied,
                      RuleMatch match, RuleMatcher::Scanner<Units>& scanner, const Rules& list,
                      Sink& sink, const RewritePaths& rewritePaths) {
    Sink local = std::move(sink);
    const std::size_t end = RewriteWithLocalSink<kAutomatic>(text, length, limit, copied, match,
                                                             scanner, list, local, rewritePaths);
    sink = std::move(local);
    return end;
}

// Rewrites text[0, length) into `sink` from `match` on, the units before `copied` being
// written already, taking the matches that start before `limit`; returns where the units
// not written yet start (`length` when `limit` is `length`). A match found before `limit`
// lies wholly inside the text.
template <typename Units, typename Rules, typename Sink>
std::size_t Rewrite(const Units& text, std::size_t length, std::size_t limit, std::size_t copied,
                    RuleMatch match, RuleMatcher::Scanner<Units>& scanner, const Rules& list,
                    Sink& sink, const RewritePaths& paths) {
    if (paths.automatic) {
        return RewriteOn<true>(text, length, limit, copied, match, scanner, list, sink, paths);
    }
    return RewriteOn<false>(text, length, limit, copied, match, scanner, list, sink, paths);
}

}  // namespace kavex

#endif  // KAVEX_ENGINE_REWRITE_H
