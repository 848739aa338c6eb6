"""How a failed on_event is reported: logged with its traceback on the logger "lumo"."""

import logging

log = logging.getLogger("lumo")


def callback_failed(kind, din, exc_type, exc_value, exc_traceback):
    where = f" for {din}" if din else ""
    log.error("on_event failed on %s%s; the device gets the default answer", kind.name, where,
              exc_info=(exc_type, exc_value, exc_traceback))
