#include "runner/steps.h"

#include <algorithm>
#include <cstdio>

#include "runner/hooks.h"

namespace {

// The console lines that a wait step looks at, at most: the last ones since the step before.
const size_t kKeptLines = 10000;

std::wstring Seconds(double seconds)
{
    wchar_t text[32];
    swprintf(text, 32, L"%g", seconds);
    return text;
}

std::unique_ptr<StepAction> MakeAction(const Step &step)
{
    switch (step.verb) {
    case Step::kWindow: case Step::kWait: case Step::kClose:
        return MakeWindowAction(step);
    case Step::kClick: case Step::kCheck: case Step::kUncheck:
        return MakeButtonAction(step);
    case Step::kFill: return MakeFillAction(step);
    case Step::kOpen: case Step::kAnswer:
        return MakeDialogAction(step);
    case Step::kMenu: return MakeMenuAction(step);
    case Step::kKeys: return MakeKeysAction(step);
    case Step::kSelect: return MakeSelectAction(step);
    default: return MakeTabAction(step);
    }
}

} // namespace

StepRunner::StepRunner(double seconds)
    : seconds_(seconds), hooks_(new ProgramHooks()), scene_(*hooks_)
{
}

StepRunner::~StepRunner() = default;

std::wstring StepRunner::Add(const std::wstring &text)
{
    Step step;
    std::wstring why = ParseStep(text, step);
    if (why.empty())
        queue_.push_back(step);
    return why;
}

void StepRunner::AddLater(const std::wstring &text)
{
    Step step;
    std::wstring why = ParseStep(text, step);
    if (!why.empty()) {
        step.text = text;
        step.wrong = why;
    }
    queue_.push_back(step);
}

void StepRunner::TakeLines(const std::vector<std::string> &lines)
{
    std::vector<std::wstring> &kept = scene_.lines;
    for (const std::string &line : lines)
        kept.push_back(Widen(line));
    if (kept.size() > kKeptLines) {
        size_t dropped = kept.size() - kKeptLines;
        kept.erase(kept.begin(), kept.begin() + dropped);
        scene_.scanned -= std::min(scene_.scanned, dropped);
    }
    newLines_ = newLines_ || !lines.empty();
}

StepRunner::State StepRunner::Poll(HANDLE job, const std::vector<std::string> &lines)
{
    if (failure_)
        return kFailed;
    TakeLines(lines);
    if (!active_ && queue_.empty())
        return kIdle;
    if (!active_)
        Begin();
    else if (GetTickCount64() < next_ && !newLines_)
        return kRunning;
    newLines_ = false;
    scene_.SetJob(job);
    ULONGLONG before = GetTickCount64();
    StepTry t = TryStep();
    tried_ = GetTickCount64();
    // A try that waited on a busy program waits a few times as long before the next, so that
    // the run's loop spends most of its time reading the console.
    next_ = tried_ + std::max(kRetryMs, 4 * (tried_ - before));
    if (t.done) {
        Finish(true, L"");
        return kRunning;
    }
    double seconds = step_.seconds > 0 ? step_.seconds : seconds_;
    if (!t.failed && tried_ - started_ < seconds * 1000)
        return kRunning;
    std::wstring why = L"step " + std::to_wstring(number_) + L" (" + step_.text + L"): " +
                       t.waiting + (t.failed ? L"" : L" after " + Seconds(seconds) + L" s") +
                       (t.has.empty() ? L"" : L"; " + t.has);
    Finish(false, why);
    failure_ = Fail(kExitStep, why);
    return kFailed;
}

StepTry StepRunner::TryStep()
{
    if (action_)
        return action_->Try(scene_, result_);
    StepTry t;
    t.failed = true;
    t.waiting = step_.wrong;
    return t;
}

Failure StepRunner::Abandon(const std::wstring &why)
{
    if (active_ && action_ && action_->DoneWhenProgramEnds(result_))
        Finish(true, L"");
    if (failure_ || !pending())
        return failure_;
    if (!active_)
        Begin();
    size_t after = queue_.size();
    std::wstring message = L"step " + std::to_wstring(number_) + L" (" + step_.text +
                           L") not done: " + why;
    if (after)
        message += L"; nor " + std::wstring(after == 1 ? L"the step" : L"the " +
                                                               std::to_wstring(after) +
                                                               L" steps") +
                   L" after it";
    queue_.clear();
    Finish(false, message);
    return failure_ = Fail(kExitStep, message);
}

void StepRunner::Begin()
{
    step_ = queue_.front();
    queue_.pop_front();
    active_ = true;
    action_ = step_.wrong.empty() ? MakeAction(step_) : nullptr;
    started_ = GetTickCount64();
    result_ = StepResult();
    result_.number = ++number_;
    result_.verb = step_.verb;
    result_.text = step_.text;
}

std::vector<StepResult> StepRunner::TakeResults()
{
    std::vector<StepResult> taken;
    taken.swap(results_);
    return taken;
}

void StepRunner::Finish(bool ok, const std::wstring &why)
{
    result_.ok = ok;
    result_.why = why;
    result_.seconds = (GetTickCount64() - started_) / 1000.0;
    results_.push_back(result_);
    active_ = false;
    action_.reset();
    scene_.lines.clear();
    scene_.scanned = 0;
}
