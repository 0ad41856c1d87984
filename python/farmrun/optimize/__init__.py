"""Optimisation on the exact gradients of the solves: yaw angles for wake steering
(``yaw``, with ``yaw_outputs``) and turbine positions inside a site (``layout``,
on the constraints of ``geometry``)."""
