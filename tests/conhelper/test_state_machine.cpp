// Hierarchical state machine: which actions run, in which order, and what
// each event reports.
#include "lc_test.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

enum { EV_GO = 1, EV_SELF, EV_PARENT, EV_OUT, EV_DEEP, EV_END, EV_NULL, EV_ERR, EV_GRAND, EV_NONE };

using Log = std::vector<std::string>;
Log actions;

std::string name_of(void *data) { return static_cast<const char *>(data); }
void on_entry(void *data, stateM_event *) { actions.push_back("entry:" + name_of(data)); }
void on_exit(void *data, stateM_event *) { actions.push_back("exit:" + name_of(data)); }
void on_move(void *from, stateM_event *, void *to) { actions.push_back("act:" + name_of(from) + ">" + name_of(to)); }
bool allow(void *condition, stateM_event *) { return *static_cast<bool *>(condition); }

// G is the grandparent of A and B (children of P); Q enters Q1; R enters R1,
// which enters R2; F is final; E is the error state.
class StateMachine : public ::testing::Test {
protected:
    bool no = false, yes = true;
    stateM_state G{}, P{}, A{}, B{}, Q{}, Q1{}, R{}, R1{}, R2{}, F{}, E{};
    stateM_transition g_tr[1]{{EV_GRAND, nullptr, nullptr, on_move, &F}};
    stateM_transition p_tr[1]{{EV_PARENT, nullptr, nullptr, on_move, &A}};
    stateM_transition a_tr[5]{{EV_GO, &no, allow, on_move, &F},  // guarded off
                              {EV_GO, &yes, allow, on_move, &B},
                              {EV_SELF, nullptr, nullptr, on_move, &A},
                              {EV_NULL, nullptr, nullptr, on_move, nullptr},
                              {EV_ERR, nullptr, nullptr, on_move, &E}};
    stateM_transition b_tr[1]{{EV_OUT, nullptr, nullptr, on_move, &Q}};
    stateM_transition q1_tr[2]{{EV_DEEP, nullptr, nullptr, on_move, &R},
                               {EV_END, nullptr, nullptr, on_move, &F}};
    stateM_machine m{};

    static void define(stateM_state &s, const char *name, stateM_state *parent,
                       stateM_transition *tr, uint32_t n, stateM_state *entry = nullptr)
    {
        s = {parent, entry, tr, n, const_cast<char *>(name), on_entry, on_exit};
    }
    void SetUp() override
    {
        define(G, "G", nullptr, g_tr, 1);
        define(P, "P", &G, p_tr, 1);
        define(A, "A", &P, a_tr, 5);
        define(B, "B", &P, b_tr, 1);
        define(Q, "Q", nullptr, nullptr, 0, &Q1);
        define(Q1, "Q1", &Q, q1_tr, 2);
        define(R, "R", nullptr, nullptr, 0, &R1);
        define(R1, "R1", &R, nullptr, 0, &R2);
        define(R2, "R2", &R1, q1_tr, 2);
        define(F, "F", nullptr, nullptr, 0);
        define(E, "E", nullptr, nullptr, 0);
        stateM_init(&m, &A, &E);
    }
    // Feeds one event; returns its result and leaves the actions it ran.
    int32_t feed(int32_t type)
    {
        actions.clear();
        stateM_event ev{type, nullptr};
        return stateM_handleEvent(&m, &ev);
    }
};

}  // namespace

TEST_F(StateMachine, MovesRunExitActionTransitionActionEntryInOrder)
{
    EXPECT_EQ(feed(EV_SELF), stateM_stateLoopSelf);  // only the transition's action
    EXPECT_EQ(actions, (Log{"act:A>A"}));
    EXPECT_EQ(feed(EV_GO), stateM_stateChanged);  // guard picks the second; same parent
    EXPECT_EQ(actions, (Log{"exit:A", "act:A>B", "entry:B"}));
    EXPECT_EQ(stateM_currentState(&m), &B);
    EXPECT_EQ(stateM_previousState(&m), &A);
    EXPECT_EQ(feed(EV_PARENT), stateM_stateChanged);  // handled by the parent P
    EXPECT_EQ(actions, (Log{"exit:B", "act:B>A", "entry:A"}));
    feed(EV_GO);
    // Into Q, which enters Q1: Q runs as Q1's parent.
    EXPECT_EQ(feed(EV_OUT), stateM_stateChanged);
    EXPECT_EQ(actions, (Log{"exit:B", "exit:P", "act:B>Q1", "entry:Q", "entry:Q1"}));
    // Into R -> R1 -> R2: R2 and its parent R1 enter, R does not.
    EXPECT_EQ(feed(EV_DEEP), stateM_stateChanged);
    EXPECT_EQ(actions, (Log{"exit:Q1", "exit:Q", "act:Q1>R2", "entry:R1", "entry:R2"}));
    EXPECT_EQ(feed(EV_END), stateM_finalStateReached);
    EXPECT_EQ(actions, (Log{"exit:R2", "exit:R1", "act:R2>F", "entry:F"}));
}

TEST_F(StateMachine, UnmatchedEventsAndFinalStatesChangeNothing)
{
    EXPECT_FALSE(stateM_stopped(&m));
    EXPECT_EQ(feed(EV_NONE), stateM_noStateChange);
    EXPECT_TRUE(actions.empty());
    EXPECT_EQ(stateM_currentState(&m), &A);
    // Matched only in the grandparent: its actions never run.
    EXPECT_EQ(feed(EV_GRAND), stateM_finalStateReached);
    EXPECT_EQ(actions, (Log{"exit:A", "exit:P", "act:A>F", "entry:F"}));
    EXPECT_TRUE(stateM_stopped(&m));
    EXPECT_EQ(feed(EV_GRAND), stateM_noStateChange);
    EXPECT_TRUE(actions.empty());
}

TEST_F(StateMachine, ErrorStateIsReachedThreeWays)
{
    // A null next state: straight there, only the error state's entry runs.
    EXPECT_EQ(feed(EV_NULL), stateM_errorStateReached);
    EXPECT_EQ(actions, (Log{"entry:E"}));
    EXPECT_EQ(stateM_currentState(&m), &E);
    EXPECT_EQ(stateM_previousState(&m), &A);
    // A transition to the error state: the normal steps run.
    stateM_init(&m, &A, &E);
    EXPECT_EQ(feed(EV_ERR), stateM_errorStateReached);
    EXPECT_EQ(actions, (Log{"exit:A", "exit:P", "act:A>E", "entry:E"}));
    // No current state.
    stateM_init(&m, nullptr, &E);
    EXPECT_EQ(feed(EV_GO), stateM_errorStateReached);
    EXPECT_EQ(actions, (Log{"entry:E"}));
    stateM_init(&m, nullptr, nullptr);
    EXPECT_EQ(feed(EV_GO), stateM_errorStateReached);
}

TEST_F(StateMachine, BadArgumentsAndBrokenTablesNeitherCrashNorHang)
{
    stateM_event ev{EV_GO, nullptr};
    EXPECT_EQ(stateM_handleEvent(nullptr, &ev), stateM_errArg);
    EXPECT_EQ(stateM_handleEvent(&m, nullptr), stateM_errArg);
    EXPECT_EQ(stateM_currentState(nullptr), nullptr);
    EXPECT_EQ(stateM_previousState(nullptr), nullptr);
    EXPECT_TRUE(stateM_stopped(nullptr));
    stateM_init(nullptr, &A, &E);

    // Parents in a cycle: searched to a bound, then nothing matched.
    stateM_state l1{}, l2{};
    stateM_transition idle{EV_SELF, nullptr, nullptr, nullptr, &l1};
    define(l1, "L1", &l2, &idle, 1);
    define(l2, "L2", &l1, &idle, 1);
    stateM_init(&m, &l1, &E);
    EXPECT_EQ(feed(EV_GO), stateM_noStateChange);
    // Entry states in a cycle: the error state.
    define(l2, "L2", nullptr, &idle, 1, &l2);
    stateM_transition into{EV_GO, nullptr, nullptr, on_move, &l2};
    l1.transitions = &into;
    EXPECT_EQ(feed(EV_GO), stateM_errorStateReached);
    EXPECT_EQ(actions, (Log{"entry:E"}));
}
