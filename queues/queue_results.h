/**
 * \file
 * \defgroup lib_common_queue_results Queue result words
 * \ingroup lib_common_queues
 * queue_results.h - result words shared by the slot, frame and block queues.
 *
 * The three queue families answer with 32-bit unsigned words: 255 for
 * success, 65535 for a full queue (or no memory for the copy), and
 * 0xFFFFFFFF (-1) for a bad argument or, where a read says so, nothing to
 * read.
 * @{
 */
#ifndef LC_QUEUE_RESULTS_H
#define LC_QUEUE_RESULTS_H

#define LC_QUEUE_OK 0xFFu        /**< success */
#define LC_QUEUE_FULL 0xFFFFu    /**< full, or out of memory */
#define LC_QUEUE_ERR 0xFFFFFFFFu /**< bad argument, or nothing to read */

/** @} */

#endif /* LC_QUEUE_RESULTS_H */
