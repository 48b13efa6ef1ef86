#include <gtest/gtest.h>

#include <map>
#include <queue>
#include <string>
#include <vector>

#include "sim/board/board.hpp"
#include "sim/board/tap.hpp"

namespace oscset::sim {
namespace {

// The state diagram of IEEE 1149.1 (figure 6-1), written out edge by edge.
struct Edge {
    const char* from;
    const char* tms0;
    const char* tms1;
};
const Edge STANDARD_GRAPH[] = {
    {"Test-Logic-Reset", "Run-Test/Idle", "Test-Logic-Reset"},
    {"Run-Test/Idle", "Run-Test/Idle", "Select-DR-Scan"},
    {"Select-DR-Scan", "Capture-DR", "Select-IR-Scan"},
    {"Capture-DR", "Shift-DR", "Exit1-DR"},
    {"Shift-DR", "Shift-DR", "Exit1-DR"},
    {"Exit1-DR", "Pause-DR", "Update-DR"},
    {"Pause-DR", "Pause-DR", "Exit2-DR"},
    {"Exit2-DR", "Shift-DR", "Update-DR"},
    {"Update-DR", "Run-Test/Idle", "Select-DR-Scan"},
    {"Select-IR-Scan", "Capture-IR", "Test-Logic-Reset"},
    {"Capture-IR", "Shift-IR", "Exit1-IR"},
    {"Shift-IR", "Shift-IR", "Exit1-IR"},
    {"Exit1-IR", "Pause-IR", "Update-IR"},
    {"Pause-IR", "Pause-IR", "Exit2-IR"},
    {"Exit2-IR", "Shift-IR", "Update-IR"},
    {"Update-IR", "Run-Test/Idle", "Select-DR-Scan"},
};

const Edge* standard_edge(const std::string& name) {
    for (const Edge& e : STANDARD_GRAPH) {
        if (name == e.from) {
            return &e;
        }
    }
    return nullptr;
}

// TMS values that lead from Test-Logic-Reset to `target` in the standard's graph.
std::vector<bool> path_from_reset(const std::string& target) {
    std::map<std::string, std::vector<bool>> paths{{"Test-Logic-Reset", {}}};
    std::queue<std::string> open;
    open.push("Test-Logic-Reset");
    while (!open.empty()) {
        const std::string s = open.front();
        open.pop();
        const Edge* e = standard_edge(s);
        for (bool tms : {false, true}) {
            const std::string next = tms ? e->tms1 : e->tms0;
            if (paths.count(next) == 0) {
                paths[next] = paths[s];
                paths[next].push_back(tms);
                open.push(next);
            }
        }
    }
    return paths.at(target);
}

TEST(TapGraph, EveryStateHasTheStandardsTwoSuccessors) {
    std::map<std::string, int> names;
    for (int i = 0; i < TAP_STATE_COUNT; ++i) {
        const auto s = static_cast<TapState>(i);
        const Edge* e = standard_edge(tap_state_name(s));
        ASSERT_NE(e, nullptr) << "unknown state name " << tap_state_name(s);
        EXPECT_STREQ(tap_state_name(tap_next(s, false)), e->tms0) << e->from;
        EXPECT_STREQ(tap_state_name(tap_next(s, true)), e->tms1) << e->from;
        ++names[tap_state_name(s)];
    }
    EXPECT_EQ(names.size(), 16u);  // every state named once
}

TEST(TapGraph, FiveTmsHighClocksReachResetFromEveryState) {
    for (int i = 0; i < TAP_STATE_COUNT; ++i) {
        TapState s = static_cast<TapState>(i);
        for (int k = 0; k < 5; ++k) {
            s = tap_next(s, true);
        }
        EXPECT_EQ(s, TapState::TEST_LOGIC_RESET) << tap_state_name(static_cast<TapState>(i));
    }
}

class BoardTapWalk : public ::testing::TestWithParam<const Edge*> {};

// Each state reached on a board of three devices, then each of its two successors.
TEST_P(BoardTapWalk, ReachesBothSuccessors) {
    const Edge& e = *GetParam();
    for (bool tms : {false, true}) {
        BoardConfig config;
        config.chain = {"xcf01s", "2s100", "3s200"};
        Board board(config);
        for (int k = 0; k < 5; ++k) {
            board.clock(false, true);
        }
        for (bool step : path_from_reset(e.from)) {
            board.clock(false, step);
        }
        for (std::size_t d = 0; d < board.device_count(); ++d) {
            ASSERT_STREQ(tap_state_name(board.tap_state(d)), e.from);
        }
        board.clock(false, tms);
        for (std::size_t d = 0; d < board.device_count(); ++d) {
            EXPECT_STREQ(tap_state_name(board.tap_state(d)), tms ? e.tms1 : e.tms0)
                << "from " << e.from << " with TMS " << tms << ", device " << d;
        }
    }
}

std::vector<const Edge*> all_edges() {
    std::vector<const Edge*> v;
    for (const Edge& e : STANDARD_GRAPH) {
        v.push_back(&e);
    }
    return v;
}

INSTANTIATE_TEST_SUITE_P(AllStates, BoardTapWalk, ::testing::ValuesIn(all_edges()));

}  // namespace
}  // namespace oscset::sim
