"""The source folders stack: launcher -> retrieval -> http and signature ->
foundation. A file includes headers of its own folder and of folders below
it, never above; resources/ (identifiers) and the build's generated headers
serve every folder. This reads the #include lines as text, nothing more."""
import pathlib
import re

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
BELOW = {
    'launcher': {'retrieval', 'http', 'signature', 'foundation'},
    'retrieval': {'http', 'signature', 'foundation'},
    'http': {'foundation'},
    'signature': {'foundation'},
    'foundation': set(),
}
SHARED = {'resources'}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"/]+)/', re.MULTILINE)


def includes_against_the_order(folder):
    """(file, included folder) for each include of a folder above `folder`."""
    allowed = {folder} | BELOW[folder] | SHARED
    found = []
    for source in sorted((REPO / folder).rglob('*')):
        if source.suffix in ('.cpp', '.h', '.c', '.in'):
            found += [(source.relative_to(REPO).as_posix(), included)
                      for included in INCLUDE.findall(source.read_text(errors='replace'))
                      if included in BELOW and included not in allowed]
    return found


@pytest.mark.parametrize('folder', sorted(BELOW))
def test_no_folder_includes_one_above_it(folder):
    assert includes_against_the_order(folder) == []
