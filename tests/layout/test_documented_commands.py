"""Every command the README and the guides show is run by a test, a script,
a bench or CI, or is marked for the reader's own servers."""
from documented_commands import documented_commands


def test_every_documented_command_is_run_somewhere_or_marked_for_your_own_servers():
    commands = documented_commands()
    assert commands, 'the guides show commands'
    assert [(guide, command) for guide, command, where in commands if where is None] == []
