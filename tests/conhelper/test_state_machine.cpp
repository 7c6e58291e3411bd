// Hierarchical state machine: which actions run, in which order, and what
// each event reports.
#include "lc_test.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

enum { EV_GO = 1, EV_SELF, EV_PARENT, EV_OUT, EV_DEEP, EV_END, EV_NULL, EV_ERR, EV_GRAND, EV_NONE };

std::vector<std::string> actions;

const char *name_of(void *data) { return static_cast<const char *>(data); }
void on_entry(void *data, stateM_event *) { actions.push_back(std::string("entry:") + name_of(data)); }
void on_exit(void *data, stateM_event *) { actions.push_back(std::string("exit:") + name_of(data)); }
void on_move(void *from, stateM_event *, void *to)
{
    actions.push_back(std::string("act:") + name_of(from) + ">" + name_of(to));
}
bool allow(void *condition, stateM_event *) { return *static_cast<bool *>(condition); }

using Log = std::vector<std::string>;

// G is the grandparent of A and B (children of P); Q enters Q1; R enters R1,
// which enters R2; F is final; E is the error state.
class StateMachine : public ::testing::Test {
protected:
    bool no = false, yes = true;
    stateM_state G{}, P{}, A{}, B{}, Q{}, Q1{}, R{}, R1{}, R2{}, F{}, E{};
    stateM_transition g_tr[1]{}, p_tr[1]{}, a_tr[5]{}, b_tr[1]{}, q1_tr[2]{}, r2_tr[1]{};
    stateM_machine m{};

    void state(stateM_state &s, const char *name, stateM_state *parent, stateM_transition *tr,
               uint32_t n)
    {
        s.parent = parent;
        s.transitions = tr;
        s.num_transitions = n;
        s.data = const_cast<char *>(name);
        s.entry_action = on_entry;
        s.exit_action = on_exit;
    }
    void SetUp() override
    {
        g_tr[0] = {EV_GRAND, nullptr, nullptr, on_move, &F};
        p_tr[0] = {EV_PARENT, nullptr, nullptr, on_move, &A};
        a_tr[0] = {EV_GO, &no, allow, on_move, &F};  // guarded off: never taken
        a_tr[1] = {EV_GO, &yes, allow, on_move, &B};
        a_tr[2] = {EV_SELF, nullptr, nullptr, on_move, &A};
        a_tr[3] = {EV_NULL, nullptr, nullptr, on_move, nullptr};
        a_tr[4] = {EV_ERR, nullptr, nullptr, on_move, &E};
        b_tr[0] = {EV_OUT, nullptr, nullptr, on_move, &Q};
        q1_tr[0] = {EV_DEEP, nullptr, nullptr, on_move, &R};
        q1_tr[1] = {EV_END, nullptr, nullptr, on_move, &F};
        r2_tr[0] = {EV_END, nullptr, nullptr, on_move, &F};
        state(G, "G", nullptr, g_tr, 1);
        state(P, "P", &G, p_tr, 1);
        state(A, "A", &P, a_tr, 5);
        state(B, "B", &P, b_tr, 1);
        state(Q, "Q", nullptr, nullptr, 0);
        Q.entry_state = &Q1;
        state(Q1, "Q1", &Q, q1_tr, 2);
        state(R, "R", nullptr, nullptr, 0);
        R.entry_state = &R1;
        state(R1, "R1", &R, nullptr, 0);
        R1.entry_state = &R2;
        state(R2, "R2", &R1, r2_tr, 1);
        state(F, "F", nullptr, nullptr, 0);
        state(E, "E", nullptr, nullptr, 0);
        stateM_init(&m, &A, &E);
        actions.clear();
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
    EXPECT_EQ(stateM_previousState(&m), &A);

    EXPECT_EQ(feed(EV_GO), stateM_stateChanged);  // guard picks the second; same parent
    EXPECT_EQ(actions, (Log{"exit:A", "act:A>B", "entry:B"}));
    EXPECT_EQ(stateM_currentState(&m), &B);
    EXPECT_EQ(stateM_previousState(&m), &A);

    EXPECT_EQ(feed(EV_PARENT), stateM_stateChanged);  // handled by the parent P
    EXPECT_EQ(actions, (Log{"exit:B", "act:B>A", "entry:A"}));
    EXPECT_EQ(feed(EV_GO), stateM_stateChanged);

    // Into Q, which enters Q1: Q runs as Q1's parent.
    EXPECT_EQ(feed(EV_OUT), stateM_stateChanged);
    EXPECT_EQ(actions, (Log{"exit:B", "exit:P", "act:B>Q1", "entry:Q", "entry:Q1"}));
    EXPECT_EQ(stateM_currentState(&m), &Q1);

    // Into R -> R1 -> R2: R2 and its parent R1 enter, R does not.
    EXPECT_EQ(feed(EV_DEEP), stateM_stateChanged);
    EXPECT_EQ(actions, (Log{"exit:Q1", "exit:Q", "act:Q1>R2", "entry:R1", "entry:R2"}));
}

TEST_F(StateMachine, FinalStateStopsTheMachine)
{
    EXPECT_FALSE(stateM_stopped(&m));
    EXPECT_EQ(feed(EV_NONE), stateM_noStateChange);  // nothing matched anywhere
    EXPECT_TRUE(actions.empty());
    EXPECT_EQ(stateM_currentState(&m), &A);

    // Matched only in the grandparent: its actions never run.
    EXPECT_EQ(feed(EV_GRAND), stateM_finalStateReached);
    EXPECT_EQ(actions, (Log{"exit:A", "exit:P", "act:A>F", "entry:F"}));
    EXPECT_TRUE(stateM_stopped(&m));
    EXPECT_EQ(feed(EV_GRAND), stateM_noStateChange);
    EXPECT_TRUE(actions.empty());

    stateM_init(&m, &Q1, &E);
    EXPECT_EQ(stateM_previousState(&m), nullptr);
    EXPECT_EQ(feed(EV_END), stateM_finalStateReached);
    EXPECT_EQ(actions, (Log{"exit:Q1", "exit:Q", "act:Q1>F", "entry:F"}));
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
    EXPECT_TRUE(stateM_stopped(&m));
    EXPECT_EQ(feed(EV_GO), stateM_errorStateReached);
    EXPECT_EQ(actions, (Log{"entry:E"}));
    stateM_init(&m, nullptr, nullptr);
    EXPECT_EQ(feed(EV_GO), stateM_errorStateReached);
    EXPECT_EQ(stateM_currentState(&m), nullptr);
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
    stateM_state loop1{}, loop2{};
    stateM_transition idle{EV_SELF, nullptr, nullptr, nullptr, &loop1};
    loop1 = {&loop2, nullptr, &idle, 1, const_cast<char *>("L1"), on_entry, on_exit};
    loop2 = {&loop1, nullptr, &idle, 1, const_cast<char *>("L2"), on_entry, on_exit};
    stateM_init(&m, &loop1, &E);
    EXPECT_EQ(feed(EV_GO), stateM_noStateChange);

    // Entry states in a cycle: the error state.
    stateM_state self_entry = loop1;
    self_entry.entry_state = &self_entry;
    stateM_transition into{EV_GO, nullptr, nullptr, on_move, &self_entry};
    loop1.transitions = &into;
    EXPECT_EQ(feed(EV_GO), stateM_errorStateReached);
    EXPECT_EQ(actions, (Log{"entry:E"}));

    // A transitions pointer that is null counts as none.
    stateM_state hollow{nullptr, nullptr, nullptr, 3, const_cast<char *>("H"), nullptr, nullptr};
    stateM_init(&m, &hollow, &E);
    EXPECT_TRUE(stateM_stopped(&m));
    EXPECT_EQ(feed(EV_GO), stateM_noStateChange);
}
