// Hierarchical state machine: which actions run, in which order, and what each event reports; the layout of the
// conhelper/ records that callers own, on 32-bit ARM and on the x86-64 host.
#include "lc_test.h"

#include "lc_layout.h"

#include <gtest/gtest.h>

LC_OFFSET(config_textbuf, size, 4, 8);
LC_OFFSET(config_textbuf, used, 8, 12);
LC_OFFSET(config_textbuf, status, 12, 16);
LC_OFFSET(stateM_event, data, 4, 8);
LC_OFFSET(stateM_machine, previous, 4, 8);
LC_OFFSET(stateM_machine, error, 8, 16);
LC_OFFSET(stateM_transition, condition, 4, 8);
LC_OFFSET(stateM_transition, next_state, 16, 32);
LC_SIZE(stateM_transition, 20, 40);
LC_OFFSET(stateM_state, entry_state, 4, 8);
LC_OFFSET(stateM_state, num_transitions, 12, 24);
LC_OFFSET(stateM_state, exit_action, 24, 48);
LC_SIZE(stateM_state, 28, 56);

namespace {

enum { EV_GO = 1, EV_SELF, EV_PARENT, EV_OUT, EV_DEEP, EV_END, EV_NULL, EV_ERR, EV_GRAND, EV_NONE };

std::string actions;  // " exit:A act:A>B entry:B": what ran, in order
auto name_of = [](void *data) { return std::string(static_cast<const char *>(data)); };
auto entered = [](void *data, stateM_event *) { actions += " entry:" + name_of(data); };
auto left = [](void *data, stateM_event *) { actions += " exit:" + name_of(data); };
auto moved = [](void *from, stateM_event *, void *to) { actions += " act:" + name_of(from) + ">" + name_of(to); };
auto allow = [](void *condition, stateM_event *) { return *static_cast<bool *>(condition); };

// A state with the logging actions (its data is its name); a transition with no guard.
// The formatter takes a macro that starts with a brace for a block.
// clang-format off
#define STATE(parent, entry, tr, n, name) {parent, entry, tr, n, const_cast<char *>(name), entered, left}
#define TO(event, next) {event, nullptr, nullptr, moved, next}
// clang-format on

// G is the grandparent of A and B (children of P); Q enters Q1; R enters R1, which enters R2; F is final; E is the
// error state.
class StateMachine : public ::testing::Test {
protected:
    bool no = false, yes = true;
    stateM_transition g_tr[1]{TO(EV_GRAND, &F)}, p_tr[1]{TO(EV_PARENT, &A)}, b_tr[1]{TO(EV_OUT, &Q)};
    stateM_transition a_tr[5]{{EV_GO, &no, allow, moved, &F},
                              {EV_GO, &yes, allow, moved, &B},
                              TO(EV_SELF, &A),
                              TO(EV_NULL, nullptr),
                              TO(EV_ERR, &E)};
    stateM_transition q1_tr[2]{TO(EV_DEEP, &R), TO(EV_END, &F)};
    stateM_state G STATE(nullptr, nullptr, g_tr, 1, "G"), P STATE(&G, nullptr, p_tr, 1, "P"),
        A STATE(&P, nullptr, a_tr, 5, "A"), B STATE(&P, nullptr, b_tr, 1, "B"), Q STATE(nullptr, &Q1, nullptr, 0, "Q"),
        Q1 STATE(&Q, nullptr, q1_tr, 2, "Q1"), R STATE(nullptr, &R1, nullptr, 0, "R"),
        R1 STATE(&R, &R2, nullptr, 0, "R1"), R2 STATE(&R1, nullptr, q1_tr, 2, "R2"),
        F STATE(nullptr, nullptr, nullptr, 0, "F"), E STATE(nullptr, nullptr, nullptr, 0, "E");
    stateM_machine m{&A, nullptr, &E};

    // Feeds one event (to a machine started in `start` when given): its result, then the actions it ran.
    std::string feed(int32_t type, stateM_state *start = nullptr, bool with_error_state = true)
    {
        if (start != nullptr || !with_error_state)
            stateM_init(&m, start, with_error_state ? &E : nullptr);
        static const char *const results[] = {"errArg", "error", "changed", "self", "none", "final"};
        actions.clear();
        stateM_event ev{type, nullptr};
        const int32_t rc = stateM_handleEvent(&m, &ev);
        return (rc >= -2 && rc <= 3 ? results[rc + 2] : "unknown") + actions;
    }
};

}  // namespace

TEST_F(StateMachine, EventsRunExitActionTransitionActionEntryInOrderAndReportTheOutcome)
{
    EXPECT_EQ(feed(EV_SELF), "self act:A>A");                  // only the transition's action
    EXPECT_EQ(feed(EV_GO), "changed exit:A act:A>B entry:B");  // the guards pick the second; same parent
    EXPECT_EQ(std::make_pair(stateM_currentState(&m), stateM_previousState(&m)), std::make_pair(&B, &A));
    EXPECT_EQ(feed(EV_PARENT), "changed exit:B act:B>A entry:A");  // handled by the parent P
    feed(EV_GO);
    // Into Q, which enters Q1: Q runs as Q1's parent.
    EXPECT_EQ(feed(EV_OUT), "changed exit:B exit:P act:B>Q1 entry:Q entry:Q1");
    // Into R -> R1 -> R2: R2 and its parent R1 enter, R does not.
    EXPECT_EQ(feed(EV_DEEP), "changed exit:Q1 exit:Q act:Q1>R2 entry:R1 entry:R2");
    EXPECT_EQ(feed(EV_END), "final exit:R2 exit:R1 act:R2>F entry:F");
    // Matched only in the grandparent: its actions never run.
    EXPECT_EQ(feed(EV_NONE, &A), "none");
    EXPECT_EQ(feed(EV_GRAND), "final exit:A exit:P act:A>F entry:F");
    EXPECT_TRUE(stateM_stopped(&m));
    EXPECT_EQ(feed(EV_GRAND), "none");  // stopped in a final state
    // A null next state or no current state: straight to the error state, running only its entry action; a transition
    // to it runs the usual steps.
    EXPECT_EQ(feed(EV_NULL, &A), "error entry:E");
    EXPECT_EQ(std::make_pair(stateM_currentState(&m), stateM_previousState(&m)), std::make_pair(&E, &A));
    EXPECT_EQ(feed(EV_ERR, &A), "error exit:A exit:P act:A>E entry:E");
    stateM_init(&m, nullptr, &E);
    EXPECT_EQ(feed(EV_GO), "error entry:E");
    EXPECT_EQ(feed(EV_GO, nullptr, false), "error");
}

TEST_F(StateMachine, BadArgumentsAndBrokenTablesNeitherCrashNorHang)
{
    stateM_event ev{EV_GO, nullptr};
    EXPECT_EQ(stateM_handleEvent(nullptr, &ev) + stateM_handleEvent(&m, nullptr), 2 * stateM_errArg);
    EXPECT_TRUE(stateM_currentState(nullptr) == nullptr && stateM_previousState(nullptr) == nullptr);
    EXPECT_TRUE(stateM_stopped(nullptr));
    stateM_init(nullptr, &A, &E);
    // Parents in a cycle: searched to a bound, then nothing matched.
    stateM_transition idle TO(EV_SELF, nullptr);
    stateM_state l1 STATE(nullptr, nullptr, &idle, 1, "L1"), l2 STATE(&l1, nullptr, &idle, 1, "L2");
    l1.parent = &l2;
    EXPECT_EQ(feed(EV_GO, &l1), "none");
    // Entry states in a cycle: the error state.
    stateM_transition into TO(EV_GO, &l2);
    l1.transitions = &into;
    l2 = STATE(nullptr, &l2, &idle, 1, "L2");
    EXPECT_EQ(feed(EV_GO), "error entry:E");
    // Transitions counted but not there: a final state, whose table is never read.
    stateM_state hollow STATE(nullptr, nullptr, nullptr, 2, "H");
    EXPECT_EQ(feed(EV_GO, &hollow), "none");
    EXPECT_TRUE(stateM_stopped(&m));
}
