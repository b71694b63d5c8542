"""Abstract knowledge-graph interface that graph providers implement."""

import abc


class KGraphBase(abc.ABC):
    """Base class for knowledge-graph providers plugged into the host."""

    @abc.abstractmethod
    def upsert_fact(self, subject, predicate, obj, metadata):
        """Insert or update the fact (subject, predicate, obj) with its metadata."""

    @abc.abstractmethod
    def search(self, query, *, user_id, org_id, k=5):
        """Return up to ``k`` facts relevant to ``query`` visible to this user and org."""

    @abc.abstractmethod
    def get_neighbours(self, entity, depth=2):
        """Return facts reachable from ``entity`` within ``depth`` hops."""

    @abc.abstractmethod
    def purge_expired(self, days=90):
        """Remove facts older than ``days`` days."""

    @abc.abstractmethod
    def delete_context(self, *, org_id, graph_slice_id):
        """Remove every fact of one graph slice belonging to ``org_id``."""

    @abc.abstractmethod
    def fetch_by_metadata(self, *, org_id, filters):
        """Return the org's facts whose metadata matches every entry of ``filters``."""
