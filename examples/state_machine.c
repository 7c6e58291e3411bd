/*
 * state_machine.c - a recording controller as a table-driven hierarchical
 * state machine (stateM_*).
 *
 *     idle --START [room on the card]--> active (enters recording)
 *     idle --START [otherwise]---------> idle (warns, a self-transition)
 *     idle --POWER_OFF-----------------> off (final)
 *     active = { recording <--PAUSE/RESUME--> paused }
 *     active --STOP--> idle
 *     active --FAULT--> the error state (final)
 *
 * What to notice:
 *  - The tables are the caller's static data; the library allocates
 *    nothing and runs every action on the caller's thread.
 *  - Transitions are tried in table order: the guarded START comes first,
 *    the unguarded one catches what the guard refused.
 *  - recording and paused inherit STOP and FAULT from their parent active;
 *    moving between them runs neither the parent's exit nor its entry
 *    action, so the clip stays open while paused.
 *  - A transition into active ends in its entry state, recording.
 *  - A null next state leads to the error state, where only the error
 *    state's entry action runs: no exit action, so clean-up belongs there.
 *  - A state without transitions is final; the machine answers every later
 *    event with stateM_noStateChange until stateM_init starts it again.
 */
#define _POSIX_C_SOURCE 200809L /* POSIX.1-2008: lib_common.h uses POSIX thread types */

#include <lib_common/lib_common.h>

#include <stdio.h>
#include <stdlib.h>

enum { EV_START, EV_PAUSE, EV_RESUME, EV_STOP, EV_FAULT, EV_POWER_OFF };
static const char *const event_names[] = {"START", "PAUSE", "RESUME", "STOP", "FAULT", "POWER_OFF"};

enum { MIN_FREE_MB = 512 }; /* room for a few minutes of video */

/* The device behind the machine. */
struct recorder {
    int card_free_mb;
    int clip;      /* number of the clip being written, 0 for none */
    int last_clip; /* number of the clip written last */
};
static struct recorder rec = {0, 0, 0};

/* Entry and exit actions: the state's data is its name. */
static void enter(void *state_data, stateM_event *event)
{
    (void)event;
    printf("  enter %s\n", (const char *)state_data);
}

static void leave(void *state_data, stateM_event *event)
{
    (void)event;
    printf("  leave %s\n", (const char *)state_data);
}

/* The parent's actions do the work every child shares. */
static void open_clip(void *state_data, stateM_event *event)
{
    enter(state_data, event);
    rec.clip = ++rec.last_clip;
    printf("  open clip_%03d.mp4\n", rec.clip);
}

static void close_clip(void *state_data, stateM_event *event)
{
    printf("  close clip_%03d.mp4\n", rec.clip);
    rec.clip = 0;
    leave(state_data, event);
}

/* The error state's entry action runs alone, so it cleans up. */
static void enter_error(void *state_data, stateM_event *event)
{
    enter(state_data, event);
    if (rec.clip != 0)
        printf("  close clip_%03d.mp4 (error)\n", rec.clip);
    rec.clip = 0;
}

/* Guard of START: the condition is the recorder it looks at. */
static bool card_has_room(void *condition, stateM_event *event)
{
    (void)event;
    const struct recorder *r = condition;
    return r->card_free_mb >= MIN_FREE_MB;
}

/* Action of the fallback START. */
static void warn_no_room(void *current_data, stateM_event *event, void *new_data)
{
    (void)current_data;
    (void)event;
    (void)new_data;
    printf("  no room on the card: not recording\n");
}

/* The states refer to each other, so they are declared first. */
static stateM_state idle, active, recording, paused, off, error_state;

static stateM_transition idle_transitions[] = {
    {EV_START, &rec, card_has_room, NULL, &active},
    {EV_START, NULL, NULL, warn_no_room, &idle},
    {EV_POWER_OFF, NULL, NULL, NULL, &off},
};
static stateM_transition active_transitions[] = {
    {EV_STOP, NULL, NULL, NULL, &idle},
    {EV_FAULT, NULL, NULL, NULL, NULL},
};
static stateM_transition recording_transitions[] = {
    {EV_PAUSE, NULL, NULL, NULL, &paused},
};
static stateM_transition paused_transitions[] = {
    {EV_RESUME, NULL, NULL, NULL, &recording},
};

#define COUNT(a) (uint32_t)(sizeof(a) / sizeof((a)[0]))

/* parent, entry state, transitions, their number, data, entry, exit */
static stateM_state idle = {NULL, NULL, idle_transitions, COUNT(idle_transitions), "idle", enter, leave};
static stateM_state active = {NULL,     &recording, active_transitions, COUNT(active_transitions),
                              "active", open_clip,  close_clip};
static stateM_state recording = {&active, NULL, recording_transitions, COUNT(recording_transitions), "recording",
                                 enter,   leave};
static stateM_state paused = {&active, NULL, paused_transitions, COUNT(paused_transitions), "paused", enter, leave};
static stateM_state off = {NULL, NULL, NULL, 0, "off", enter, leave};
static stateM_state error_state = {NULL, NULL, NULL, 0, "error", enter_error, leave};

static const char *result_text(int32_t result)
{
    switch (result) {
    case stateM_errArg: return "bad argument";
    case stateM_errorStateReached: return "error state reached";
    case stateM_stateChanged: return "state changed";
    case stateM_stateLoopSelf: return "back to the same state";
    case stateM_noStateChange: return "no transition";
    case stateM_finalStateReached: return "final state reached";
    default: return "?";
    }
}

/* Feeds one event, then tells the outcome and where the machine is. */
static void feed(stateM_machine *machine, int32_t type)
{
    stateM_event event = {type, NULL};
    printf("%s\n", event_names[type]);
    int32_t result = stateM_handleEvent(machine, &event);
    const stateM_state *now = stateM_currentState(machine);
    printf("  -> %d (%s), now %s%s\n", (int)result, result_text(result),
           now != NULL ? (const char *)now->data : "nowhere", stateM_stopped(machine) ? ", stopped" : "");
}

int main(void)
{
    stateM_machine machine;
    /* No entry action runs here: the machine simply starts in idle. */
    stateM_init(&machine, &idle, &error_state);

    feed(&machine, EV_START); /* no room on the card yet: the guard refuses */
    printf("-- a card with room goes in\n");
    rec.card_free_mb = 4096;
    feed(&machine, EV_START);
    feed(&machine, EV_PAUSE);
    feed(&machine, EV_START); /* neither paused nor active takes it */
    feed(&machine, EV_RESUME);
    feed(&machine, EV_STOP); /* taken by the parent, active */
    feed(&machine, EV_START);
    feed(&machine, EV_FAULT); /* a null next state */
    feed(&machine, EV_STOP);  /* the error state is final */

    printf("-- restarted\n");
    stateM_init(&machine, &idle, &error_state);
    feed(&machine, EV_POWER_OFF);
    return EXIT_SUCCESS;
}
