"""Decoding satellite downlinks from real captures.

The decoder is a pipeline of streaming stages, one module each:

    source     capture readers: WAV and other audio, raw cf32/ci16/ci8/cu8,
               SigMF, standard input; read in blocks
    frontend   down-conversion (lox) to a few samples per symbol, whatever
               the capture's rate
    demod      carrier acquisition within a bounded look-ahead, then the
               BPSK receiver: soft symbols
    deframe    Viterbi on both symbol-pair alignments, NRZ-M, marker
               search, de-randomising, Reed-Solomon: checked frames
    sinks      text, JSON Lines, KISS
    pipeline   `Link` (what to decode), `Decoder` (the stages for one
               capture), `decode_source`, `decode_capture`
    parallel   `decode_many`: many captures, long ones in segments, on
               local threads or Dask
    satellites the satellite table (satellites.json)
    cli        `python -m tamberl.rx`
"""
from tamberl.rx.cli import main, summary_table
from tamberl.rx.deframe import ASM, CcsdsDeframer, Frame, find_markers, frame_description, nrzm_decode
from tamberl.rx.demod import BpskDemod, CarrierTrack, carrier_search, make_receiver
from tamberl.rx.frontend import FrontEnd
from tamberl.rx.parallel import decode_many, default_jobs
from tamberl.rx.pipeline import Decoder, Link, Receive, Result, decode_capture, decode_source
from tamberl.rx.satellites import Satellite
from tamberl.rx.sinks import JsonSink, KissSink, TextSink, kiss_encode
from tamberl.rx.source import Source, capture_info, find_captures, open_capture, read_capture

__all__ = ["ASM", "BpskDemod", "CarrierTrack", "CcsdsDeframer", "Decoder", "Frame", "FrontEnd", "JsonSink",
           "KissSink", "Link", "Receive", "Result", "Satellite", "Source", "TextSink", "capture_info",
           "carrier_search", "decode_capture", "decode_many", "decode_source", "default_jobs", "find_captures",
           "find_markers", "frame_description", "kiss_encode", "main", "make_receiver", "nrzm_decode",
           "open_capture", "read_capture", "summary_table"]
