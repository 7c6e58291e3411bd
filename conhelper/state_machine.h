/**
 * \file
 * \defgroup lib_common_state_machine State machine
 * \ingroup lib_common_text
 * state_machine.h - table-driven hierarchical state machine.
 *
 * The caller declares states, transitions and the machine (usually as static
 * data; the library never allocates or frees any of them) and feeds events
 * to stateM_handleEvent, which picks a transition, runs the actions and
 * reports the outcome.  A state with no transitions is final: the machine
 * stops there until stateM_init is called again.
 *
 * Handling one event:
 *  1. The transitions of the current state are tried in array order; the
 *     first whose event type matches and whose guard is absent or true wins.
 *     When none does, the parent is tried, then its parent, and so on.
 *  2. The target is the transition's next state, followed down through
 *     entry states to the innermost one.  A null next state sends the
 *     machine to the error state.
 *  3. Unless the target is the current state: the current state's exit
 *     action runs, then its parent's exit action when the target has a
 *     different parent.  Then the transition's action runs.  Then, unless
 *     the target is the current state, the target's parent's entry action
 *     runs when that parent differs from the current state's parent, then
 *     the target's own entry action.
 *  Only the direct parents of the current state and of the target take part
 *  in exit and entry actions; grandparents are searched for transitions but
 *  their actions never run.  So a transition into a state whose entry state
 *  is its own child runs that child's entry action and, since it is the
 *  child's parent, the entered state's entry action too (unless the machine
 *  came from a sibling of that child); entry states further up a longer
 *  chain of entry states run nothing.  A self-transition runs only the
 *  transition's action.  Reaching the error state through a null next state
 *  or a null current state runs only the error state's entry action.
 *
 * Bad tables: a chain of parents or of entry states deeper than 64 (a cycle,
 * say) is not followed forever: a parent chain is searched only that deep,
 * and an entry chain that deep sends the machine to the error state.  A
 * state whose transitions pointer is null counts as having none.
 *
 * No locking: drive a machine from one thread at a time.  Guards and
 * actions run on that thread, inside stateM_handleEvent.  Tables that no
 * call changes may be shared by several machines on several threads.
 * @{
 */
#ifndef LC_STATE_MACHINE_H
#define LC_STATE_MACHINE_H

#include "lc_defs.h"

#include <stdbool.h>

LC_BEGIN_DECLS

/** Results of stateM_handleEvent. */
enum stateM_result {
    stateM_errArg = -2,            /**< machine or event is null */
    stateM_errorStateReached = -1, /**< now in the error state */
    stateM_stateChanged = 0,       /**< now in an ordinary state */
    stateM_stateLoopSelf = 1,      /**< the transition led back to the same state */
    stateM_noStateChange = 2,      /**< no transition matched, or the machine is stopped */
    stateM_finalStateReached = 3   /**< the new state has no transitions */
};

/** An event fed to stateM_handleEvent. */
typedef struct stateM_event {
    int32_t type; /**< matched against the transitions' event types */
    void *data;   /**< the caller's */
} stateM_event;

struct stateM_state;

/** Guard of a transition: (its condition, the event); true lets it apply. */
typedef bool (*stateM_guard_fn)(void *condition, stateM_event *event);
/** Transition action: (current state's data, event, new state's data). */
typedef void (*stateM_transition_action_fn)(void *current_data, stateM_event *event, void *new_data);
/** Entry or exit action of a state: (that state's data, event). */
typedef void (*stateM_state_action_fn)(void *state_data, stateM_event *event);

/** One transition of a state's table; the caller's. */
typedef struct stateM_transition {
    int32_t event_type;                 /**< candidate when equal to the event's type */
    void *condition;                    /**< handed to the guard */
    stateM_guard_fn guard;              /**< null: always applies */
    stateM_transition_action_fn action; /**< may be null */
    struct stateM_state *next_state;    /**< null: go to the error state */
} stateM_transition;

/** One state; the caller's, usually static. */
typedef struct stateM_state {
    struct stateM_state *parent;         /**< null for a top-level state */
    struct stateM_state *entry_state;    /**< child entered instead of this one, or null */
    stateM_transition *transitions;      /**< the table, or null (none) */
    uint32_t num_transitions;            /**< 0: a final state */
    void *data;                          /**< handed to this state's actions */
    stateM_state_action_fn entry_action; /**< may be null */
    stateM_state_action_fn exit_action;  /**< may be null */
} stateM_state;

/** A machine: where it is; the caller's. */
typedef struct stateM_machine {
    stateM_state *current;  /**< the state it is in; null: none */
    stateM_state *previous; /**< the state the last transition left, or null */
    stateM_state *error;    /**< where a bad transition leads, or null */
} stateM_machine;

/** current = initial, previous = null, error = error; a null machine is
    ignored.

    Thread safety: one thread at a time per machine. */
LC_API void stateM_init(stateM_machine *machine, stateM_state *initial, stateM_state *error);
/** One event; one of the stateM_result values.  Guards and actions run on
    the calling thread before it returns.

    Thread safety: one thread at a time per machine. */
LC_API int32_t stateM_handleEvent(stateM_machine *machine, stateM_event *event);
/** The current state; null when the machine is null.

    Thread safety: one thread at a time per machine. */
LC_API stateM_state *stateM_currentState(stateM_machine *machine);
/** The state the last transition left (null before the first); null when
    the machine is null.

    Thread safety: one thread at a time per machine. */
LC_API stateM_state *stateM_previousState(stateM_machine *machine);
/** True when the machine is null, has no current state or its current
    state is final.

    Thread safety: one thread at a time per machine. */
LC_API bool stateM_stopped(stateM_machine *machine);

LC_END_DECLS

/** @} */

#endif /* LC_STATE_MACHINE_H */
