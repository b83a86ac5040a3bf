"""A real squid on 127.0.0.1 that demands proxy authentication, for the
tests of the launcher's proxy handling.

    proxy = SquidProxy(run_folder, users={'user': 'secret'}).start()
    ... http_proxy=proxy.url ...
    proxy.wait_for_access(lambda entry: entry['method'] == 'CONNECT')
    proxy.stop()

The scheme is Basic (a password file), NTLM, or Negotiate; the last two are
answered by the tests' own helper (ntlm_helper.py), which checks the NTLMv2
response against `users` and refuses the names in `refused` whatever their
password, and logs each decision (helper_decisions()). A Negotiate client
without Kerberos falls back to NTLM inside that scheme.

It allows plain HTTP and CONNECT (to any port) to this machine only, for
authenticated users; everything unauthenticated gets 407. It caches nothing,
so every request reaches the origin. Its files (config, password file,
cache.log, access.log, pid) live in run_folder/NAME, which start() empties
first and stop() leaves in place for inspection. Instances running at the
same time need distinct names.
"""
import grp
import json
import os
import pathlib
import pwd
import shutil
import signal
import socket
import subprocess
import time

SQUID = '/usr/sbin/squid'
NCSA_AUTH = '/usr/lib/squid/basic_ncsa_auth'
NTLM_HELPER = pathlib.Path(__file__).with_name('ntlm_helper.py')
PYTHON = '/usr/bin/python3'   # the system's: squid's own user must be able to run it
SCHEMES = ('basic', 'ntlm', 'negotiate')
# Abandoned handshakes keep NTLM helpers reserved: with few of them, new
# challenges queue until the client's receive time-out.
NTLM_CHILDREN = 20
EFFECTIVE_USER = 'proxy'
START_TIMEOUT = 15.0
STOP_TIMEOUT = 10.0

# One access log line: time client method url status result user bytes-sent peer
LOG_FORMAT = 'logformat loomcraft %ts.%03tu %>a:%>p %rm %ru %>Hs %Ss %un %<st %<a'
LOG_FIELDS = ('time', 'client', 'method', 'url', 'status', 'result', 'user', 'bytes', 'peer')


class SquidError(RuntimeError):
    pass


def _free_port() -> int:
    with socket.socket() as probe:
        probe.bind(('127.0.0.1', 0))
        return probe.getsockname()[1]


def _password_line(user: str, password: str) -> str:
    """An htpasswd line (MD5, which basic_ncsa_auth checks itself)."""
    if ':' in user or '\n' in user or '\n' in password:
        raise ValueError(f'user name {user!r} or its password cannot go into a password file')
    for command in (['htpasswd', '-nbm', user, password], ['openssl', 'passwd', '-apr1', password]):
        if shutil.which(command[0]) is None:
            continue
        result = subprocess.run(command, capture_output=True, text=True, check=True)
        text = result.stdout.strip()
        return text if command[0] == 'htpasswd' else f'{user}:{text}'
    raise SquidError('neither htpasswd (apache2-utils) nor openssl is installed: run scripts/setup')


def _reachable(path: pathlib.Path, uid: int, gids: set) -> bool:
    """Whether a process with uid and gids can traverse every folder down to path."""
    for folder in [path, *path.parents]:
        status = folder.stat()
        if status.st_uid == uid:
            allowed = status.st_mode & 0o100
        elif status.st_gid in gids:
            allowed = status.st_mode & 0o010
        else:
            allowed = status.st_mode & 0o001
        if not allowed:
            return False
    return True


class SquidProxy:
    def __init__(self, run_folder, users=None, name='squid', scheme='basic', refused=()):
        if scheme not in SCHEMES:
            raise ValueError(f'scheme {scheme!r} is none of {SCHEMES}')
        self.folder = pathlib.Path(run_folder).resolve() / name
        self.users = dict(users if users is not None else {'user': 'secret'})
        self.scheme = scheme
        self.refused = list(refused)
        self.port = None
        self.process = None
        self.service_name = None
        self.start_seconds = None  # how long the last start() took

    @property
    def url(self) -> str:
        return f'http://127.0.0.1:{self.port}/'

    @property
    def access_log(self) -> pathlib.Path:
        return self.folder / 'access.log'

    @property
    def cache_log(self) -> pathlib.Path:
        return self.folder / 'cache.log'

    @property
    def helper_log(self) -> pathlib.Path:
        return self.folder / 'helper.log'

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    # -- lifetime ---------------------------------------------------------

    def start(self) -> 'SquidProxy':
        if self.process is not None:
            raise SquidError('squid is already running')
        for program in (SQUID, NCSA_AUTH, PYTHON):
            if not os.access(program, os.X_OK):
                raise SquidError(f'{program} is missing: install squid (scripts/setup does)')
        began = time.monotonic()
        self._prepare_folder()
        failure = None
        for _ in range(3):  # the free port may be taken between probe and bind
            self.port = _free_port()
            self.service_name = f'loomcraft{self.port}'
            try:
                self._launch()
                break
            except SquidError as error:
                failure = error
                if 'Address already in use' not in str(error):
                    raise
        else:
            raise failure
        self.start_seconds = time.monotonic() - began
        return self

    def stop(self):
        """Stops squid and its helpers (about 2 s: squid shuts down in
        one-second steps even with shutdown_lifetime 0). The folder stays."""
        if self.process is None:
            return
        process, self.process = self.process, None
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
            try:
                process.wait(STOP_TIMEOUT)
            except subprocess.TimeoutExpired:
                pass
        # squid and its helpers share the process group it was started in.
        try:
            os.killpg(process.pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass
        process.wait()
        # Helpers that outlived squid are gone once the group is empty.
        deadline = time.monotonic() + 2.0
        while time.monotonic() < deadline:
            try:
                os.killpg(process.pid, 0)
            except (ProcessLookupError, PermissionError):
                break
            time.sleep(0.02)
        self._remove_shared_memory()

    # -- logs -------------------------------------------------------------

    def access_log_lines(self) -> list:
        """The access log so far, one dict per line (LOG_FIELDS, plus 'line').
        'status' is an int, 'user' None when no user name was given. squid
        writes the line of a CONNECT when its tunnel closes."""
        if not self.access_log.exists():
            return []
        entries = []
        for line in self.access_log.read_text(errors='replace').splitlines():
            parts = line.split(' ')
            if len(parts) != len(LOG_FIELDS):
                entries.append({'line': line})
                continue
            entry = dict(zip(LOG_FIELDS, parts), line=line)
            entry['time'] = float(entry['time'])
            entry['status'] = int(entry['status']) if entry['status'].isdigit() else entry['status']
            entry['user'] = None if entry['user'] == '-' else entry['user']
            entry['bytes'] = int(entry['bytes']) if entry['bytes'].isdigit() else entry['bytes']
            entries.append(entry)
        return entries

    def helper_decisions(self) -> list:
        """The NTLM helper's decisions so far, in order: dicts with verdict
        ('AF' accepted, 'NA' refused), domain, user and reason."""
        if not self.helper_log.exists():
            return []
        return [json.loads(line) for line in self.helper_log.read_text().splitlines() if line.strip()]

    def refused_presentations(self) -> list:
        """The user names of the credentials this proxy refused so far, one
        per presentation, in order: those of Basic's 407 lines that name a
        user, or those the NTLM helper refused."""
        if self.scheme == 'basic':
            return [entry['user'] for entry in self.access_log_lines()
                    if entry.get('status') == 407 and entry.get('user')]
        return [decision['user'] for decision in self.helper_decisions() if decision['verdict'] == 'NA']

    def wait_for_access(self, predicate, timeout=5.0) -> list:
        """Waits for an access log line satisfying predicate(entry); returns
        all the lines that do."""
        deadline = time.monotonic() + timeout
        while True:
            matching = [entry for entry in self.access_log_lines() if 'method' in entry and predicate(entry)]
            if matching:
                return matching
            if time.monotonic() >= deadline:
                lines = '\n'.join(entry['line'] for entry in self.access_log_lines())
                raise TimeoutError(f'no matching squid access log line within {timeout} s; log:\n{lines}')
            time.sleep(0.05)

    # -- internals --------------------------------------------------------

    def _prepare_folder(self):
        squid_user = pwd.getpwnam(EFFECTIVE_USER) if os.geteuid() == 0 else pwd.getpwuid(os.geteuid())
        gids = {squid_user.pw_gid} | {g.gr_gid for g in grp.getgrall() if squid_user.pw_name in g.gr_mem}
        existing = next(folder for folder in self.folder.parents if folder.exists())
        if not _reachable(existing, squid_user.pw_uid, gids):
            raise SquidError(f'squid runs as {squid_user.pw_name!r}, which cannot reach {self.folder}: '
                             'give it a run folder whose parents others may traverse (chmod o+x)')
        self.folder.mkdir(mode=0o755, parents=True, exist_ok=True)
        for child in self.folder.iterdir():
            if child.is_dir() and not child.is_symlink():
                shutil.rmtree(child)
            else:
                child.unlink()
        if self.scheme == 'basic':
            lines = [_password_line(user, password) for user, password in self.users.items()]
            secrets = self.folder / 'passwd'
            secrets.write_text(''.join(line + '\n' for line in lines))
        else:
            secrets = self.folder / 'accounts.json'
            secrets.write_text(json.dumps({'users': self.users, 'refused': self.refused}))
            shutil.copyfile(NTLM_HELPER, self.folder / NTLM_HELPER.name)
            self.helper_log.touch()
        secrets.chmod(0o640)
        self.folder.chmod(0o755)
        if os.geteuid() == 0:
            for path in (self.folder, *self.folder.iterdir()):
                os.chown(path, squid_user.pw_uid, squid_user.pw_gid)

    def _config(self) -> str:
        folder = self.folder
        lines = [
            f'http_port 127.0.0.1:{self.port}',
            'visible_hostname loomcraft-test-proxy',
            f'pid_filename {folder}/squid.pid',
            f'cache_log {folder}/cache.log',
            LOG_FORMAT,
            f'access_log stdio:{folder}/access.log loomcraft',
            'buffered_logs off',
            'logfile_rotate 0',
            'cache_store_log none',
            f'coredump_dir {folder}',
            'netdb_filename none',
            # Nothing is cached: every request must reach the origin.
            'cache deny all',
            'cache_mem 0 MB',
            'digest_generation off',
            'pinger_enable off',
            'icp_port 0',
            'htcp_port 0',
            # Only names from /etc/hosts are looked up; nothing needs a DNS server.
            'hosts_file /etc/hosts',
            'dns_nameservers 127.0.0.1',
            'dns_timeout 2 seconds',
            'connect_timeout 5 seconds',
            'shutdown_lifetime 0 seconds',
            'httpd_suppress_version_string on',
            *self._auth_config(),
            'acl authenticated proxy_auth REQUIRED',
            'acl this_machine dst 127.0.0.0/8 ::1',
            'http_access deny !authenticated',
            'http_access allow this_machine',
            'http_access deny all',
        ]
        if os.geteuid() == 0:
            lines += [f'cache_effective_user {EFFECTIVE_USER}', f'cache_effective_group {EFFECTIVE_USER}']
        return '\n'.join(lines) + '\n'

    def _auth_config(self) -> list:
        folder = self.folder
        if self.scheme == 'basic':
            return [f'auth_param basic program {NCSA_AUTH} {folder}/passwd',
                    'auth_param basic children 2 startup=1 idle=1',
                    'auth_param basic realm Loomcraft test proxy',
                    'auth_param basic credentialsttl 1 minute']
        helper = f'{PYTHON} {folder}/{NTLM_HELPER.name} {folder}/accounts.json {self.helper_log} {self.scheme}'
        return [f'auth_param {self.scheme} program {helper}',
                f'auth_param {self.scheme} children {NTLM_CHILDREN} startup=1 idle=1',
                f'auth_param {self.scheme} keep_alive on']

    def _launch(self):
        config = self.folder / 'squid.conf'
        config.write_text(self._config())
        for name in ('cache.log', 'access.log', 'squid.out'):
            (self.folder / name).unlink(missing_ok=True)
        self._remove_shared_memory()
        parse = subprocess.run([SQUID, '-k', 'parse', '-f', str(config), '-n', self.service_name],
                               capture_output=True, text=True)
        if parse.returncode != 0:
            problems = [line for line in (parse.stdout + parse.stderr).splitlines()
                        if 'Processing:' not in line]
            raise SquidError('squid rejects its configuration:\n' + '\n'.join(problems[-30:]))
        output = open(self.folder / 'squid.out', 'wb')
        try:
            self.process = subprocess.Popen([SQUID, '-N', '-f', str(config), '-n', self.service_name],
                                            stdin=subprocess.DEVNULL, stdout=output, stderr=subprocess.STDOUT,
                                            cwd=self.folder, start_new_session=True)
        finally:
            output.close()
        deadline = time.monotonic() + START_TIMEOUT
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                break
            if self._accepting():
                return
            time.sleep(0.02)
        self.stop()
        raise SquidError(self._failure_text())

    def _accepting(self) -> bool:
        # Connecting to find out would leave a line in the access log.
        try:
            return 'Accepting HTTP Socket connections' in self.cache_log.read_text(errors='replace')
        except FileNotFoundError:
            return False

    def _failure_text(self) -> str:
        text = [f'squid did not start listening on 127.0.0.1:{self.port}']
        for name in ('squid.out', 'cache.log'):
            path = self.folder / name
            if path.exists():
                lines = path.read_text(errors='replace').splitlines()
                text.append(f'--- {path} (last lines)')
                text += lines[-25:]
        return '\n'.join(text)

    def _remove_shared_memory(self):
        """Segments a killed squid leaves behind make the next one with the
        same service name fail; squid names them after the service."""
        if self.service_name:
            for segment in pathlib.Path('/dev/shm').glob(f'{self.service_name}-*'):
                segment.unlink(missing_ok=True)
