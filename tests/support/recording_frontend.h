// A front end for tests: records what a run asked of it.
#pragma once

#include <vector>

#include "pfc/frontend.h"
#include "pfc/run.h"

namespace kistwerk::fixture {

class RecordingFrontEnd : public FrontEnd {
public:
    std::vector<int> steps;          // run.percent at every progress step
    std::vector<int> drawn;          // pictures drawn (percent changed)
    std::vector<RunProblem> problems;
    int created = 0;
    int destroyed = 0;
    bool busy = false;
    int stopAfterSteps = -1;         // report a stop at this step (0-based)

    void setBusyCursor(bool b) override { busy = b; }
    void createProgress(ConversionRun& run) override
    {
        ++created;
        run.lastDrawnPercent = 0;
    }
    bool progressStep(ConversionRun& run) override
    {
        int index = static_cast<int>(steps.size());
        steps.push_back(run.percent);
        if (index == stopAfterSteps)
            return true;
        if (run.percent != run.lastDrawnPercent) {
            if (run.percent > 100)
                run.percent = 100;
            drawn.push_back(run.percent);
            run.lastDrawnPercent = run.percent;
        }
        return false;
    }
    void destroyProgress(ConversionRun&) override { ++destroyed; }
    int stopAfterLooks = -1;         // report a stop at this look between steps (0-based)
    int looks = 0;
    bool stopAsked() override { return looks++ == stopAfterLooks; }
    void reportProblem(RunProblem p, const ConversionRun&) override { problems.push_back(p); }
};

} // namespace kistwerk::fixture
