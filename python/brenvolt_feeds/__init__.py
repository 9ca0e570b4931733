"""Tools for real HL7 v2 feeds, beside the ``brenvolt`` extension module.

- ``brenvolt_feeds.mllp``: an incremental decoder of MLLP frames (0x0B, the
  message, 0x1C 0x0D) and the function that frames a message.
- ``brenvolt_feeds.split``: files and streams of many messages (back to back,
  in FHS/BHS batch envelopes, or MLLP-framed dumps) cut into messages, read
  lazily, with everything skipped reported.
- ``brenvolt_feeds.ack``: original-mode acknowledgements (ACK messages) of
  received messages.
- ``brenvolt_feeds.delimiters``: messages that declare other delimiters than
  ``| ^ ~ \\ &`` in MSH-1 and MSH-2, rewritten into the standard ones.

The ``brenvolt`` module itself holds only ``Hl7Json`` and ``JsonHl7``; this
package is pure Python built on them.
"""
