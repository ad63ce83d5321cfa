// SPDX-License-Identifier: MIT
#include "plan.h"

#include <algorithm>
#include <cstring>

namespace vkm470::tool {

namespace {

constexpr std::uint32_t kPage = map::kPageBytes;
constexpr std::uint32_t kComparePiece = 128 * kPage;

std::uint64_t total(const std::vector<Target::Span>& spans) {
  std::uint64_t sum = 0;
  for (const auto& span : spans) sum += span.length;
  return sum;
}

void note(Differences& differences, std::uint32_t address) {
  if (differences.first.size() < Differences::kShown) differences.first.push_back(address);
  ++differences.count;
}

}  // namespace

Target::Page& Target::page(std::uint32_t address) {
  auto [it, added] = pages_.try_emplace(address - address % kPage);
  if (added) it->second.wanted.reset();
  return it->second;
}

void Target::put(std::uint32_t address, const std::uint8_t* bytes, std::uint32_t length) {
  while (length > 0) {
    Page& p = page(address);
    const std::uint32_t offset = address % kPage;
    const std::uint32_t n = std::min(kPage - offset, length);
    std::memcpy(p.bytes + offset, bytes, n);
    if (n == kPage)
      p.wanted.set();
    else
      for (std::uint32_t i = offset; i < offset + n; ++i) p.wanted.set(i);
    address += n;
    bytes += n;
    length -= n;
  }
}

void Target::fill(std::uint32_t address, std::uint32_t length, std::uint8_t value) {
  const Bytes bytes(length, value);
  put(address, bytes);
}

std::vector<Target::Span> Target::pageRuns() const {
  std::vector<Span> runs;
  for (const auto& entry : pages_) {
    if (!runs.empty() && runs.back().address + runs.back().length == entry.first)
      runs.back().length += kPage;
    else
      runs.push_back({entry.first, kPage});
  }
  return runs;
}

std::vector<Target::Span> Target::byteRuns() const {
  std::vector<Span> runs;
  for (const auto& [address, p] : pages_) {
    for (std::uint32_t offset = 0; offset < kPage; ++offset) {
      if (!p.wanted.test(offset)) continue;
      if (!runs.empty() && runs.back().address + runs.back().length == address + offset)
        ++runs.back().length;
      else
        runs.push_back({address + offset, 1});
    }
  }
  return runs;
}

Target Target::part(std::uint32_t from, std::uint32_t to) const {
  Target out;
  for (auto it = pages_.lower_bound(from - from % kPage); it != pages_.end() && it->first < to;
       ++it) {
    Page& p = out.pages_.emplace_hint(out.pages_.end(), *it)->second;
    if (it->first >= from && it->first + kPage <= to) continue;
    for (std::uint32_t offset = 0; offset < kPage; ++offset)
      if (it->first + offset < from || it->first + offset >= to) p.wanted.reset(offset);
    if (p.wanted.none()) out.pages_.erase(it->first);
  }
  return out;
}

Target Target::split(std::uint32_t from, std::uint32_t to) {
  Target out = part(from, to);
  for (auto it = pages_.lower_bound(from - from % kPage); it != pages_.end() && it->first < to;) {
    Page& p = it->second;
    for (std::uint32_t offset = 0; offset < kPage; ++offset)
      if (it->first + offset >= from && it->first + offset < to) p.wanted.reset(offset);
    it = p.wanted.none() ? pages_.erase(it) : std::next(it);
  }
  return out;
}

bool Target::compose(std::uint32_t page, const std::uint8_t* current, std::uint8_t* out) const {
  const Page& p = pages_.at(page);
  if (p.wanted.all()) {
    std::memcpy(out, p.bytes, kPage);
    return std::memcmp(p.bytes, current, kPage) != 0;
  }
  bool differs = false;
  for (std::uint32_t offset = 0; offset < kPage; ++offset) {
    out[offset] = p.wanted.test(offset) ? p.bytes[offset] : current[offset];
    differs = differs || out[offset] != current[offset];
  }
  return differs;
}

bool Target::wanted(std::uint32_t address) const {
  const auto it = pages_.find(address - address % kPage);
  return it != pages_.end() && it->second.wanted.test(address % kPage);
}

std::uint8_t Target::at(std::uint32_t address) const {
  return pages_.at(address - address % kPage).bytes[address % kPage];
}

Differences compare(Module& module, const Target& target, Meter& meter) {
  Differences differences;
  const auto runs = target.pageRuns();
  meter.phase("reading", total(runs));
  for (const auto& run : runs) {
    Bytes current(run.length);
    module.read(run.address, current.data(), run.length, meter);
    differences.bytesRead += run.length;
    for (std::uint32_t i = 0; i < run.length; ++i) {
      const std::uint32_t address = run.address + i;
      if (target.wanted(address) && target.at(address) != current[i]) note(differences, address);
    }
  }
  return differences;
}

namespace {

// Programs spans of bytes and, when verifying, reads them back.
void programAndCheck(Module& module, const std::vector<Target::Span>& spans,
                     const std::vector<Bytes>& contents, bool verify, Meter& meter) {
  meter.phase("writing", total(spans));
  for (std::size_t i = 0; i < spans.size(); ++i)
    module.program(spans[i].address, contents[i].data(), spans[i].length, meter);
  if (!verify) return;
  meter.phase("checking", total(spans));
  Differences differences;
  for (std::size_t i = 0; i < spans.size(); ++i) {
    Bytes back(spans[i].length);
    module.read(spans[i].address, back.data(), spans[i].length, meter);
    for (std::uint32_t j = 0; j < spans[i].length; ++j)
      if (back[j] != contents[i][j]) note(differences, spans[i].address + j);
  }
  if (differences.count != 0)
    throw Failure(kFailed, module.name() + ": read-back differs from what was programmed at " +
                               describe(differences));
}

}  // namespace

WriteReport writeTarget(Module& module, const Target& target, bool force, bool verify,
                        Meter& meter) {
  WriteReport report;
  report.verified = verify;
  std::vector<Target::Span> spans;
  std::vector<Bytes> contents;
  if (force) {
    spans = target.byteRuns();
    for (const auto& span : spans) {
      Bytes bytes(span.length);
      for (std::uint32_t i = 0; i < span.length; ++i) bytes[i] = target.at(span.address + i);
      contents.push_back(std::move(bytes));
    }
    report.pagesProgrammed = target.pageCount();
  } else {
    // Runs are read in pieces, so that a whole flash needs no buffer of its size.
    std::vector<Target::Span> runs;
    for (const auto& whole : target.pageRuns())
      for (std::uint32_t at = 0; at < whole.length; at += kComparePiece)
        runs.push_back({whole.address + at, std::min(kComparePiece, whole.length - at)});
    meter.phase("reading", total(runs));
    Bytes current;
    for (const auto& run : runs) {
      current.resize(run.length);
      module.read(run.address, current.data(), run.length, meter);
      report.bytesRead += run.length;
      std::uint8_t page[kPage];
      for (std::uint32_t offset = 0; offset < run.length; offset += kPage) {
        const std::uint32_t address = run.address + offset;
        if (!target.compose(address, current.data() + offset, page)) {
          ++report.pagesSkipped;
          continue;
        }
        ++report.pagesProgrammed;
        if (spans.empty() || spans.back().address + spans.back().length != address) {
          spans.push_back({address, 0});
          contents.emplace_back();
        }
        spans.back().length += kPage;
        contents.back().insert(contents.back().end(), page, page + kPage);
      }
    }
  }
  programAndCheck(module, spans, contents, verify, meter);
  return report;
}

std::string describe(const Differences& differences) {
  std::string text;
  for (std::size_t i = 0; i < differences.first.size(); ++i)
    text += (i == 0 ? "" : ", ") + hex(differences.first[i]);
  if (differences.count > differences.first.size())
    text += " and " + std::to_string(differences.count - differences.first.size()) + " more";
  text += " (" + std::to_string(differences.count) + " byte" + (differences.count == 1 ? "" : "s") +
          ")";
  return text;
}

}  // namespace vkm470::tool
