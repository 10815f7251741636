#!/usr/bin/python3
"""Independent impacket-based client for the updater control endpoint: binds over
an AF_UNIX stream socket, makes one call, prints the outcome as one JSON object.
  rpc_peer.py SOCKET_PATH PROCEDURE [JSON_INPUTS] [--version M.m] [--max-frag N]
  rpc_peer.py --selftest"""
import argparse, json, socket, struct, sys, threading

from impacket.uuid import uuidtup_to_bin
from impacket.dcerpc.v5 import transport
from impacket.dcerpc.v5.rpcrt import DCERPC_v5, DCERPCException, MSRPCBindAck
from impacket.dcerpc.v5.ndr import (NDRCALL, NDRSTRUCT, NDRPOINTER, NDRUniConformantArray,
                                    NULL, NDRHYPER, NDRLONG, NDRSHORT, NDRUSHORT, NDRUSMALL)
from impacket.dcerpc.v5.dtypes import LPWSTR

IFACE_UUID = '8ee43b67-09d6-4773-9c3a-b26af6222819'
PDU_RESPONSE, PDU_FAULT, PDU_BIND_ACK, PDU_BIND_NAK = 2, 3, 12, 13


class UnixStreamTransport(transport.DCERPCTransport):
    """Connection-oriented RPC over a UNIX stream socket; PDUs are written as-is."""

    def __init__(self, path, sock=None):
        transport.DCERPCTransport.__init__(self, path, 0)
        self._path, self._sock = path, sock
        self.sent, self.received = [], []     # raw PDUs, inspected after the call
        self.set_connect_timeout(30)

    def connect(self):
        if self._sock is None:
            self._sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            self._sock.settimeout(self.get_connect_timeout())
            try:
                self._sock.connect(self._path)
            except OSError as e:
                raise DCERPCException('cannot connect to %s: %s' % (self._path, e))
        return 1

    def disconnect(self):
        if self._sock is not None:
            self._sock.close()
        self._sock = None
        return 1

    def get_socket(self):
        return self._sock

    def send(self, data, forceWriteAndx=0, forceRecv=0):
        self.sent.append(bytes(data))
        self._sock.sendall(data)

    def _read(self, n):
        buf = b''
        while len(buf) < n:
            chunk = self._sock.recv(n - len(buf))
            if not chunk:
                raise DCERPCException('connection closed by peer')
            buf += chunk
        return buf

    def recv(self, forceRecv=0, count=0):
        # Always hand back exactly one whole PDU, whatever `count` asks for.
        hdr = self._read(16)
        frag_len = struct.unpack_from('<H', hdr, 8)[0]
        if hdr[0] != 5 or hdr[4] & 0xF0 != 0x10 or frag_len < 16:   # little-endian only
            raise DCERPCException('bad PDU header %s' % hdr.hex())
        pdu = hdr + self._read(frag_len - 16)
        self.received.append(pdu)
        return pdu


# --- NDR types -------------------------------------------------------------
BOOL8, ENUM16 = NDRUSMALL, NDRUSHORT      # boolean is a small; enum16 on 2 bytes


class VexorLogEntry(NDRSTRUCT):
    structure = (('time', NDRHYPER), ('text', LPWSTR))


class VexorLogEntryArray(NDRUniConformantArray):
    item = VexorLogEntry


class PVexorLogEntryArray(NDRPOINTER):
    referent = (('Data', VexorLogEntryArray),)


SETTINGS_IN = [('SourceUrl', LPWSTR), ('UseProxyServer', BOOL8), ('ProxyServer', LPWSTR),
               ('ProxyPort', NDRSHORT), ('ProxyRequiresLogon', BOOL8), ('ProxyUser', LPWSTR),
               ('ProxyPassword', LPWSTR), ('LocalDirectory', LPWSTR), ('NetShareDirectory', LPWSTR),
               ('NetShareUserName', LPWSTR), ('NetSharePassword', LPWSTR)]
SETTINGS_OUT = [('p' + n, t) for n, t in SETTINGS_IN] + [('pError', LPWSTR)]
ERR = [('pError', LPWSTR)]

# name: (opnum, [in], [out], has boolean result)
PROCEDURES = {
    'UpdaterGetVersionInfo': (0, [], [('pEngineVersion', LPWSTR), ('pDatVersion', LPWSTR)] + ERR, True),
    'UpdaterStartUpdate': (1, [], [], False),
    'UpdaterCancelUpdate': (2, [], [], False),
    'UpdaterGetStatus': (3, [], [('pLastUpdate', NDRHYPER), ('pNextUpdate', NDRHYPER),
                                 ('pIsUpdateRunning', BOOL8), ('pStatus', LPWSTR)], True),
    'UpdaterGetLogEntries': (4, [], [('pNumEntries', NDRLONG),
                                     ('ppLogEntries', PVexorLogEntryArray)] + ERR, True),
    'UpdaterGetDatSettings': (5, [], [('pUpdateInterval', NDRHYPER), ('pDATSource', ENUM16)]
                              + SETTINGS_OUT, True),
    'UpdaterSetDatSettings': (6, [('UpdateInterval', NDRHYPER), ('DATSource', ENUM16)]
                              + SETTINGS_IN, ERR, True),
    'UpdaterGetEngineSettings': (7, [], [('pDownloaderType', ENUM16)] + SETTINGS_OUT, True),
    'UpdaterSetEngineSettings': (8, [('DownloaderType', ENUM16)] + SETTINGS_IN, ERR, True),
}


def call_classes(name):
    opnum, ins, outs, has_result = PROCEDURES[name]
    req = type(name, (NDRCALL,), {'opnum': opnum, 'structure': tuple(ins)})
    out_fields = tuple(outs) + ((('result', BOOL8),) if has_result else ())
    return req, type(name + 'Response', (NDRCALL,), {'structure': out_fields})


def encode_request(name, inputs):
    req_cls, _ = call_classes(name)
    ins = PROCEDURES[name][1]
    unknown = set(inputs) - {n for n, _ in ins}
    if unknown:
        raise ValueError('unknown input(s) for %s: %s' % (name, ', '.join(sorted(unknown))))
    req, next_ref = req_cls(), 0x20000
    for field, kind in ins:
        value = inputs.get(field)                   # absent: 0, or a null string
        if kind is LPWSTR:
            if value is None:
                req[field] = NULL
                continue
            wstr = req.fields[field].fields['Data']
            wstr['Data'] = ''                       # resets the counts, recomputed on pack
            wstr.fields['Data'] = (value + '\0').encode('utf-16le', 'surrogatepass')
            req.fields[field].fields['ReferentID'] = next_ref   # sequential, not random
            next_ref += 4
        else:
            value = int(value or 0)
            req[field] = value - 0x10000 if kind is NDRSHORT and value > 0x7FFF else value
    return req.opnum, req.getData()


def wstr_value(ptr):
    if ptr.fields['ReferentID'] == 0:
        return None
    w = ptr.fields['Data']
    raw, count = w.fields['Data'], w.fields['ActualCount']
    if w.fields['Offset'] != 0 or not 0 < count <= w.fields['MaximumCount'] or raw[-2:] != b'\0\0':
        raise ValueError('malformed string: max=%d offset=%d actual=%d'
                         % (w.fields['MaximumCount'], w.fields['Offset'], count))
    return raw[:-2].decode('utf-16le', 'surrogatepass')


def decode_response(name, stub):
    _, resp_cls = call_classes(name)
    resp = resp_cls()
    used = resp.fromString(stub)
    if used != len(stub):
        raise ValueError('%d trailing byte(s) in %s response stub' % (len(stub) - used, name))
    out = {'result': resp['result'] if 'result' in resp.fields else None}
    for field, kind in resp_cls.structure:
        if kind is LPWSTR:
            out[field] = wstr_value(resp.fields[field])
        elif kind is PVexorLogEntryArray:
            ptr = resp.fields[field]
            out[field] = None if ptr.fields['ReferentID'] == 0 else [
                {'time': e['time'], 'text': wstr_value(e.fields['text'])}
                for e in ptr.fields['Data']['Data']]
        elif field != 'result':
            out[field] = resp[field]
    return out


def run(path, name, inputs, version, max_frag, sock=None):
    opnum, stub = encode_request(name, inputs)
    trans = UnixStreamTransport(path, sock)
    dce = DCERPC_v5(trans)
    dce.connect()
    try:
        # impacket turns bind_nak, rejected contexts and faults into text-only
        # exceptions, so the codes are read back from the PDU that caused them.
        try:
            dce.bind(uuidtup_to_bin((IFACE_UUID, version)))
        except DCERPCException:
            last = trans.received[-1] if trans.received else b'\0' * 4
            if last[2] == PDU_BIND_NAK:
                return {'bind_rejected': struct.unpack_from('<H', last, 16)[0]}
            if last[2] == PDU_BIND_ACK:
                item = MSRPCBindAck(last).getCtxItem(1)
                return {'bind_rejected': item['Result'], 'reason': item['Reason']}
            if last[2] == PDU_FAULT:
                return {'fault': struct.unpack_from('<L', last, 24)[0]}
            raise
        # impacket sends nothing at all for an empty stub once a fragment size is set
        dce.set_max_fragment_size(max_frag if stub else 0)
        dce.call(opnum, stub)
        call_id, first = trans.sent[-1][12:16], len(trans.received)
        try:
            answer = dce.recv()
        except DCERPCException:
            if len(trans.received) > first and trans.received[-1][2] == PDU_FAULT:
                return {'fault': struct.unpack_from('<L', trans.received[-1], 24)[0]}
            raise
        for pdu in trans.received[first:]:
            if pdu[2] != PDU_RESPONSE or pdu[12:16] != call_id:
                raise ValueError('unexpected PDU %s' % pdu[:16].hex())
        return decode_response(name, answer)
    finally:
        dce.disconnect()


# --- offline checks ---------------------------------------------------------
# '..' marks padding octets; their value is free.
SET_DAT_REQ = ('100e000000000000' '0200' '....' '00000000' '01' '......'
               '00000200' '010000000000000001000000' '0000' '901f' '00' '......'
               '04000200' '020000000000000002000000' '75000000' '00000000'
               '08000200' '030000000000000003000000' '2f0076000000' '....' '00000000'
               '0c000200' '010000000000000001000000' '0000' '....'
               '10000200' '030000000000000003000000' '700077000000')
VERSION_RESP = ('00000200' '040000000000000004000000' '31002e0032000000'
                '00000000' '04000200' '010000000000000001000000' '0000' '01')
LOG_RESP = ('02000000' '00000200' '02000000' 'cccccccc'
            '0100000000000000' '04000200' 'cccccccc' 'ffffffffffffff7f' '00000000'
            '030000000000000003000000' '680069000000' 'cccc' '00000000' '00')


def fake_server(sock, reply_frags, echo_len):
    """Takes one bind (accepting 192-octet fragments) and one request, then echoes
    the request's last in-string as pError in `reply_frags` response fragments."""
    rx = UnixStreamTransport('', sock)
    ack = struct.pack('<HHLH6s4x4x', 4280, 192, 1, 6, b'12345\0') + rx.recv()[52:72]
    ack = ack[:16] + b'\1' + ack[17:]                     # one result: acceptance
    rx.send(struct.pack('<4B4sHHL', 5, 0, 12, 3, b'\x10\0\0\0', 16 + len(ack), 0, 1) + ack)
    stub, pdu = b'', b'\0' * 4
    while not pdu[3] & 2:
        pdu = rx.recv()
        stub += pdu[24:]
    rx.flags = [p[3] for p in rx.received[1:]]
    reply = bytes.fromhex('00000200') + stub[-echo_len:] + b'\1'
    size = len(reply) // reply_frags + 1
    for i in range(0, len(reply), size):
        flags = (i == 0) | (i + size >= len(reply)) << 1
        rx.send(struct.pack('<4B4sHHLLHxx', 5, 0, 2, flags, b'\x10\0\0\0', 24 + len(reply[i:i + size]),
                            0, 1, len(reply), 0) + reply[i:i + size])
    return rx


def selftest():
    def matches(got, template):
        return len(got) * 2 == len(template) and all(
            template[2 * i] == '.' or template[2 * i:2 * i + 2] == '%02x' % g for i, g in enumerate(got))
    opnum, stub = encode_request('UpdaterSetDatSettings', {
        'UpdateInterval': 3600, 'DATSource': 2, 'SourceUrl': None, 'UseProxyServer': 1, 'ProxyServer': '',
        'ProxyPort': 8080, 'ProxyRequiresLogon': 0, 'ProxyUser': 'u', 'ProxyPassword': None, 'LocalDirectory': '/v',
        'NetShareDirectory': None, 'NetShareUserName': '', 'NetSharePassword': 'pw'})
    assert opnum == 6 and matches(stub, SET_DAT_REQ), stub.hex()
    assert decode_response('UpdaterGetVersionInfo', bytes.fromhex(VERSION_RESP)) == {
        'result': 1, 'pEngineVersion': '1.2', 'pDatVersion': None, 'pError': ''}
    assert decode_response('UpdaterGetLogEntries', bytes.fromhex(LOG_RESP)) == {
        'result': 0, 'pNumEntries': 2, 'pError': None, 'ppLogEntries': [
            {'time': 1, 'text': 'hi'}, {'time': 0x7fffffffffffffff, 'text': None}]}
    # Round trip over a socket pair: a 300-character string goes out in 64-octet
    # fragments and its echo comes back in three response fragments.
    text = 'x' * 299 + '\u00e9'
    ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_STREAM)
    ours.settimeout(10), theirs.settimeout(10)
    box = {}
    peer = threading.Thread(target=lambda: box.update(rx=fake_server(theirs, 3, 12 + 2 * 301)))
    peer.daemon = True
    peer.start()
    out = run('', 'UpdaterSetEngineSettings', {'DownloaderType': 1, 'NetSharePassword': text},
              '2.0', 64, ours)
    peer.join(10)
    assert out == {'result': 1, 'pError': text}, out
    flags = box['rx'].flags
    assert len(flags) > 9 and flags[0] == 1 and flags[-1] == 2 and set(flags[1:-1]) == {0}, flags
    print('selftest passed')


def main():
    ap = argparse.ArgumentParser(description='Updater control RPC peer')
    ap.add_argument('socket_path', nargs='?')
    ap.add_argument('procedure', nargs='?', choices=sorted(PROCEDURES))
    ap.add_argument('inputs', nargs='?', default='{}', help='JSON object of [in] parameters')
    ap.add_argument('--version', default='2.0', help='interface version to bind (MAJOR.MINOR)')
    ap.add_argument('--max-frag', type=int, default=0, help='max stub octets per request fragment')
    ap.add_argument('--selftest', action='store_true')
    try:
        args = ap.parse_args()
        if not args.selftest and not (args.socket_path and args.procedure):
            ap.error('SOCKET_PATH and PROCEDURE are required')
    except SystemExit as e:
        return 1 if e.code else 0                          # usage errors exit 1 too
    if args.selftest:
        selftest()
        return 0
    try:
        inputs = json.loads(args.inputs)
        if not isinstance(inputs, dict):
            raise ValueError('JSON_INPUTS must be an object')
        print(json.dumps(run(args.socket_path, args.procedure, inputs, args.version, args.max_frag)))
    except Exception as e:
        print('rpc_peer: %s: %s' % (type(e).__name__, e), file=sys.stderr)
        return 1
    return 0


if __name__ == '__main__':
    sys.exit(main())
