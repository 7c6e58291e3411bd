/*
 * state_machine.cpp - table-driven hierarchical state machine.
 */
#include "state_machine.h"

/* Deepest chain of parents or entry states followed; only a broken table
   (a cycle) comes near it. */
static const int max_depth = 64;

/* First transition of `state` that matches the event and whose guard
   allows it, or null. */
static stateM_transition *find_transition(stateM_state *state, stateM_event *event)
{
    if (state->transitions == nullptr)
        return nullptr;
    for (uint32_t i = 0; i < state->num_transitions; i++) {
        stateM_transition *t = &state->transitions[i];
        if (t->event_type != event->type)
            continue;
        if (t->guard == nullptr || t->guard(t->condition, event))
            return t;
    }
    return nullptr;
}

static bool is_final(const stateM_state *state)
{
    return state->num_transitions == 0 || state->transitions == nullptr;
}

/* No exit action runs on the way to the error state: the machine got there
   because its tables led nowhere. */
static int32_t go_to_error_state(stateM_machine *machine, stateM_event *event)
{
    machine->previous = machine->current;
    machine->current = machine->error;
    if (machine->error != nullptr && machine->error->entry_action != nullptr)
        machine->error->entry_action(machine->error->data, event);
    return stateM_errorStateReached;
}

extern "C" LC_API void stateM_init(stateM_machine *machine, stateM_state *initial, stateM_state *error)
{
    if (machine == nullptr)
        return;
    machine->current = initial;
    machine->previous = nullptr;
    machine->error = error;
}

extern "C" LC_API int32_t stateM_handleEvent(stateM_machine *machine, stateM_event *event)
{
    if (machine == nullptr || event == nullptr)
        return stateM_errArg;
    stateM_state *current = machine->current;
    if (current == nullptr)
        return go_to_error_state(machine, event);
    if (is_final(current))
        return stateM_noStateChange;

    /* The current state first, then its ancestors. */
    stateM_transition *t = nullptr;
    stateM_state *s = current;
    for (int depth = 0; s != nullptr && depth < max_depth && t == nullptr; depth++) {
        t = find_transition(s, event);
        s = s->parent;
    }
    if (t == nullptr)
        return stateM_noStateChange;
    if (t->next_state == nullptr)
        return go_to_error_state(machine, event);

    stateM_state *target = t->next_state;
    for (int depth = 0; target->entry_state != nullptr; depth++) {
        if (depth == max_depth)
            return go_to_error_state(machine, event);
        target = target->entry_state;
    }

    /* Only the direct parents take part, and only when the move leaves or
       enters that parent. */
    bool moves = target != current;
    bool parent_changes = target->parent != current->parent;
    if (moves) {
        if (current->exit_action != nullptr)
            current->exit_action(current->data, event);
        if (current->parent != nullptr && current->parent->exit_action != nullptr && parent_changes)
            current->parent->exit_action(current->parent->data, event);
    }
    if (t->action != nullptr)
        t->action(current->data, event, target->data);
    if (moves) {
        if (target->parent != nullptr && target->parent->entry_action != nullptr && parent_changes)
            target->parent->entry_action(target->parent->data, event);
        if (target->entry_action != nullptr)
            target->entry_action(target->data, event);
    }

    machine->previous = current;
    machine->current = target;
    if (machine->current == machine->previous)
        return stateM_stateLoopSelf;
    if (machine->current == machine->error)
        return stateM_errorStateReached;
    if (is_final(machine->current))
        return stateM_finalStateReached;
    return stateM_stateChanged;
}

extern "C" LC_API stateM_state *stateM_currentState(stateM_machine *machine)
{
    return machine == nullptr ? nullptr : machine->current;
}

extern "C" LC_API stateM_state *stateM_previousState(stateM_machine *machine)
{
    return machine == nullptr ? nullptr : machine->previous;
}

/* A machine without a current state cannot go on by itself either. */
extern "C" LC_API bool stateM_stopped(stateM_machine *machine)
{
    return machine == nullptr || machine->current == nullptr || is_final(machine->current);
}
